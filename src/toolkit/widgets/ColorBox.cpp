#include "toolkit/widgets/ColorBox.h"

#include <QColorDialog>
#include <QEvent>
#include <QPainter>
#include <QPixmap>

namespace {

constexpr int kColorRole = Qt::UserRole + 1;

TColorBox::TColorDialogFunction& DialogFunction() {
    static TColorBox::TColorDialogFunction dialog;
    return dialog;
}

std::optional<TColor> RunColorDialog(QWidget* parent, TColor initial) {
    const QColor chosen = QColorDialog::getColor(ColorToQColor(initial), parent);
    if (!chosen.isValid())
        return std::nullopt;
    return QColorToColor(chosen);
}

template <class Fn> void ForEachListed(Fn fn) {
    int count = 0;
    const TColorName* names = StandardColorNames(&count);
    for (int i = 0; i < count; ++i)
        fn(names[i]);
    names = ExtendedColorNames(&count);
    for (int i = 0; i < count; ++i)
        fn(names[i]);
    names = SystemColorNames(&count);
    for (int i = 0; i < count; ++i)
        fn(names[i]);
}

} // namespace

TColorBox::TColorBox(QWidget* parent) : QComboBox(parent) {
    setMaxVisibleItems(16);
    Populate();
    SetSelected(clBlack);
    connect(this, qOverload<int>(&QComboBox::activated), this, &TColorBox::OnActivated);
}

void TColorBox::Populate() {
    clear();
    addItem(QStringLiteral("Custom..."));
    setItemData(CustomIndex, QVariant::fromValue<qint32>(clBlack), kColorRole);
    ForEachListed([this](const TColorName& entry) {
        addItem(QString::fromLatin1(entry.Name));
        setItemData(count() - 1, QVariant::fromValue<qint32>(entry.Color), kColorRole);
    });
    RefreshSwatches();
}

QIcon TColorBox::Swatch(TColor color) const {
    const int side = qMax(8, FItemHeight - 4);
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.fillRect(0, 0, side, side, Qt::black);
    // System colours are resolved now, so the swatch shows the current palette's colour.
    painter.fillRect(1, 1, side - 2, side - 2, ColorToQColor(ColorToRGB(color)));
    return QIcon(pixmap);
}

void TColorBox::RefreshSwatches() {
    const int side = qMax(8, FItemHeight - 4);
    setIconSize(QSize(side, side));
    for (int i = 0; i < count(); ++i)
        setItemIcon(i, Swatch(itemData(i, kColorRole).value<qint32>()));
}

void TColorBox::SetItemHeight(int height) {
    FItemHeight = qMax(8, height);
    RefreshSwatches();
}

TColor TColorBox::Selected() const {
    const int index = currentIndex();
    if (index < 0)
        return clBlack;
    return itemData(index, kColorRole).value<qint32>();
}

TColor TColorBox::CustomColor() const {
    return itemData(CustomIndex, kColorRole).value<qint32>();
}

void TColorBox::SetSelected(TColor color) {
    int index = -1;
    for (int i = CustomIndex + 1; i < count(); ++i) {
        if (itemData(i, kColorRole).value<qint32>() == color) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        index = CustomIndex;
        setItemData(CustomIndex, QVariant::fromValue<qint32>(color), kColorRole);
        setItemIcon(CustomIndex, Swatch(color));
    }
    setCurrentIndex(index);
    FLastIndex = index;
}

QString TColorBox::ColorName(TColor color) {
    QString found;
    ForEachListed([&](const TColorName& entry) {
        if (found.isEmpty() && entry.Color == color)
            found = QString::fromLatin1(entry.Name);
    });
    return found;
}

void TColorBox::SetColorDialog(TColorDialogFunction dialog) {
    DialogFunction() = std::move(dialog);
}

void TColorBox::OnActivated(int index) {
    // Every selection the user makes, by mouse, keyboard or wheel, is a click of the box.
    emit Click();
    if (index == CustomIndex) {
        // The list already shows the custom entry; the dialog starts from the colour before.
        const TColor initial =
            FLastIndex >= 0 ? TColor(itemData(FLastIndex, kColorRole).value<qint32>()) : Selected();
        const std::optional<TColor> chosen =
            DialogFunction() ? DialogFunction()(this, initial) : RunColorDialog(this, initial);
        if (!chosen) {
            // Cancelled: the box keeps the colour it had.
            setCurrentIndex(FLastIndex);
            return;
        }
        setItemData(CustomIndex, QVariant::fromValue<qint32>(*chosen), kColorRole);
        setItemIcon(CustomIndex, Swatch(*chosen));
    }
    const bool changed = index != FLastIndex || index == CustomIndex;
    FLastIndex = index;
    if (changed)
        emit Change();
}

void TColorBox::hidePopup() {
    QComboBox::hidePopup();
    emit CloseUp();
}

void TColorBox::mousePressEvent(QMouseEvent* event) {
    QComboBox::mousePressEvent(event);
    emit Click();
}

void TColorBox::changeEvent(QEvent* event) {
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        RefreshSwatches();
}
