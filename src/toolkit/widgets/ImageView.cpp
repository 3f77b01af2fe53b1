#include "toolkit/widgets/ImageView.h"

#include <QMouseEvent>
#include <QPainter>

TImageView::TImageView(QWidget* parent) : QWidget(parent), FImage(std::make_unique<TImage>()) {
    FImage->SetBounds(width(), height());
    FImage->OnRepaint = [this] {
        Render();
        repaint();
    };
}

TImageView::~TImageView() {
    FImage->OnRepaint = nullptr;
}

QRect TImageView::DisplayRect(const QSize& picture, const QSize& area) {
    if (picture.isEmpty() || area.isEmpty())
        return {};
    QSize size = picture;
    if (size.width() > area.width() || size.height() > area.height())
        size = picture.scaled(area, Qt::KeepAspectRatio);
    size = size.expandedTo(QSize(1, 1));
    return QRect((area.width() - size.width()) / 2, (area.height() - size.height()) / 2,
                 size.width(), size.height());
}

void TImageView::Render() {
    FRendered = QImage();
    TGraphic* graphic = FImage->Picture()->Graphic();
    if (!graphic || graphic->Empty() || width() <= 0 || height() <= 0)
        return;
    const QRect target =
        DisplayRect(QSize(graphic->Width(), graphic->Height()), QSize(width(), height()));
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    try {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        // Drawing decodes a JPEG picture the first time, with its progress reports.
        graphic->Paint(painter, target);
    } catch (...) {
        // A picture that cannot be drawn shows as nothing.
        return;
    }
    FRendered = image;
}

void TImageView::paintEvent(QPaintEvent*) {
    if (FRendered.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(0, 0, FRendered);
}

void TImageView::resizeEvent(QResizeEvent*) {
    FImage->SetBounds(width(), height());
    Render();
}

void TImageView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        FAfterDoubleClick = false;
}

void TImageView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (FAfterDoubleClick) {
        FAfterDoubleClick = false;
        return;
    }
    if (rect().contains(event->position().toPoint()))
        emit Click();
}

void TImageView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    FAfterDoubleClick = true;
    emit DblClick();
}
