// A drop-down list of colours with a swatch and a name per entry: the standard, extended and
// system colours of the toolkit, and a custom entry that opens a colour dialog. Any colour value
// can be selected; one that is not in the list is shown as the custom entry.
#pragma once

#include "toolkit/Graphics.h"

#include <QComboBox>

#include <functional>
#include <optional>

class TColorBox : public QComboBox {
    Q_OBJECT
public:
    explicit TColorBox(QWidget* parent = nullptr);

    // The selected colour (black until something else is selected).
    TColor Selected() const;
    // Selects the list entry of that value, or makes it the custom entry's colour. Does not emit
    // Change.
    void SetSelected(TColor color);

    // Height of the list's entries in pixels.
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int height);

    // Index of the custom entry (always the first) and its current colour.
    static constexpr int CustomIndex = 0;
    TColor CustomColor() const;

    // Asks the user for a custom colour, starting from `initial`; nothing when cancelled. The
    // default is the desktop's colour dialog; tests replace it.
    using TColorDialogFunction =
        std::function<std::optional<TColor>(QWidget* parent, TColor initial)>;
    static void SetColorDialog(TColorDialogFunction dialog); // empty restores the default

    // The entry text of a colour in the list ("Red", "Button Face"), or empty.
    static QString ColorName(TColor color);

signals:
    // The user picked another colour.
    void Change();
    // The list was closed.
    void CloseUp();
    // The box was pressed with the mouse, or the user selected an entry (by mouse, keyboard or
    // wheel; before Change).
    void Click();

protected:
    void hidePopup() override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Populate();
    void RefreshSwatches();
    void OnActivated(int index);
    QIcon Swatch(TColor color) const;

    int FItemHeight = 16;
    int FLastIndex = -1;
};
