// A status bar showing one text (the toolkit's simple panel).
#pragma once

#include <QStatusBar>

class QLabel;

class TStatusBar : public QStatusBar {
    Q_OBJECT
public:
    explicit TStatusBar(QWidget* parent = nullptr);

    QString SimpleText() const;
    void SetSimpleText(const QString& text);
    // Paints the bar now, without waiting for the event loop.
    void Repaint();

private:
    QLabel* FLabel;
};
