// The widget that shows an image control (TImage): its picture centred, scaled down with its
// proportions kept when it is larger than the widget, never enlarged. Where there is no picture
// the widget is transparent, so whatever lies beneath shows through. The control's size follows
// the widget's.
#pragma once

#include "toolkit/ExtCtrls.h"

#include <QImage>
#include <QWidget>

class TImageView : public QWidget {
    Q_OBJECT
public:
    explicit TImageView(QWidget* parent = nullptr);
    ~TImageView() override;

    // The control model; its size is the widget's (a hidden widget gets no resize events, so
    // the size is taken over here as well).
    TImage* Image() const {
        FImage->SetBounds(width(), height());
        return FImage.get();
    }
    TPicture* Picture() const { return Image()->Picture(); }

    // Where the picture is drawn inside the widget for a picture of that size.
    static QRect DisplayRect(const QSize& picture, const QSize& area);

signals:
    void Click();
    void DblClick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void Render();

    std::unique_ptr<TImage> FImage;
    QImage FRendered; // the picture as drawn, the widget's size; null when there is none
    bool FAfterDoubleClick = false; // the release that ends a double-click is no click
};
