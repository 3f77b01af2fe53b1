// A pair of arrow buttons bound to an edit box: each press moves the position by one within
// [Min, Max] (no wrap) and writes it into the edit box with the locale's digit grouping. Text typed
// into the edit box that reads as a whole number in the locale (with or without grouping) becomes
// the position, limited to the range; other text, a fraction included, leaves the position as it
// was and stays in the box. The Up and Down keys in the edit box press the buttons.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class TUpDown : public QWidget {
    Q_OBJECT
public:
    explicit TUpDown(QWidget* parent = nullptr);

    QLineEdit* Associate() const { return FAssociate; }
    void SetAssociate(QLineEdit* edit);

    int Min() const { return FMin; }
    int Max() const { return FMax; }
    void SetRange(int min, int max);
    int Position() const { return FPosition; }
    // Limits the value to the range, keeps it and writes it into the edit box.
    void SetPosition(int position);

    // The whole number a text reads as in the locale (TryStrToFloat); false for any other text,
    // fractions and numbers beyond int included.
    static bool ParseNumber(const QString& text, int* value);

signals:
    void Changed(int position);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Step(int delta);
    void OnTextEdited(const QString& text);
    void WriteText();

    QLineEdit* FAssociate = nullptr; // cleared when the edit box goes
    QToolButton* FUp;
    QToolButton* FDown;
    int FMin = 0;
    int FMax = 100;
    int FPosition = 0;
};
