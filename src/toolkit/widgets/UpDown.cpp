#include "toolkit/widgets/UpDown.h"

#include "toolkit/SysUtils.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QToolButton>

#include <cmath>
#include <limits>

TUpDown::TUpDown(QWidget* parent) : QWidget(parent) {
    FUp = new QToolButton(this);
    FUp->setObjectName(QStringLiteral("Up"));
    FUp->setArrowType(Qt::UpArrow);
    FUp->setAutoRepeat(true);
    FUp->setFocusPolicy(Qt::NoFocus);
    FDown = new QToolButton(this);
    FDown->setObjectName(QStringLiteral("Down"));
    FDown->setArrowType(Qt::DownArrow);
    FDown->setAutoRepeat(true);
    FDown->setFocusPolicy(Qt::NoFocus);
    connect(FUp, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(FDown, &QToolButton::clicked, this, [this] { Step(-1); });
}

void TUpDown::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    FUp->setGeometry(0, 0, width(), half);
    FDown->setGeometry(0, half, width(), height() - half);
}

void TUpDown::SetAssociate(QLineEdit* edit) {
    if (FAssociate) {
        FAssociate->removeEventFilter(this);
        disconnect(FAssociate, nullptr, this, nullptr);
    }
    FAssociate = edit;
    if (FAssociate) {
        FAssociate->installEventFilter(this);
        connect(FAssociate, &QLineEdit::textEdited, this, &TUpDown::OnTextEdited);
        connect(FAssociate, &QObject::destroyed, this, [this] { FAssociate = nullptr; });
        WriteText();
    }
}

void TUpDown::SetRange(int min, int max) {
    FMin = qMin(min, max);
    FMax = qMax(min, max);
    SetPosition(FPosition);
}

void TUpDown::SetPosition(int position) {
    const int bounded = qBound(FMin, position, FMax);
    const bool changed = bounded != FPosition;
    FPosition = bounded;
    WriteText();
    if (changed)
        emit Changed(FPosition);
}

bool TUpDown::ParseNumber(const QString& text, int* value) {
    double number = 0;
    if (!TryStrToFloat(text, number) || number != std::floor(number) ||
        number < double(std::numeric_limits<int>::min()) ||
        number > double(std::numeric_limits<int>::max()))
        return false;
    if (value)
        *value = int(number);
    return true;
}

void TUpDown::OnTextEdited(const QString& text) {
    int value = 0;
    if (!ParseNumber(text, &value))
        return;
    const int bounded = qBound(FMin, value, FMax);
    if (bounded != FPosition) {
        FPosition = bounded;
        emit Changed(FPosition);
    }
}

void TUpDown::Step(int delta) {
    // The edit box may hold text that was typed but not yet taken over.
    if (FAssociate)
        OnTextEdited(FAssociate->text());
    SetPosition(FPosition + delta);
}

void TUpDown::WriteText() {
    if (FAssociate)
        FAssociate->setText(QLocale().toString(FPosition));
}

bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
    if (FAssociate && watched == static_cast<QObject*>(FAssociate) &&
        event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
            Step(key->key() == Qt::Key_Up ? +1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
