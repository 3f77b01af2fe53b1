#include "toolkit/widgets/StatusBar.h"

#include <QLabel>

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
    setSizeGripEnabled(false);
    FLabel = new QLabel(this);
    FLabel->setObjectName(QStringLiteral("SimpleText"));
    FLabel->setTextFormat(Qt::PlainText);
    FLabel->setMinimumWidth(1);
    addWidget(FLabel, 1);
}

QString TStatusBar::SimpleText() const {
    return FLabel->text();
}

void TStatusBar::SetSimpleText(const QString& text) {
    FLabel->setText(text);
}

void TStatusBar::Repaint() {
    FLabel->repaint();
    repaint();
}
