#include "toolkit/widgets/ChoiceButton.h"

#include <QMenu>

#include <algorithm>

TChoiceButton::TChoiceButton(QWidget* parent)
    : QToolButton(parent), FMenu(new QMenu(this)), FGroup(new QActionGroup(this)) {
    FGroup->setExclusive(true);
    setMenu(FMenu);
    setPopupMode(QToolButton::InstantPopup);
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setFocusPolicy(Qt::StrongFocus);
}

void TChoiceButton::SetChoices(const QStringList& texts, const QString& title) {
    const int current = std::max(0, currentIndex());
    FMenu->clear();
    for (QAction* action : FGroup->actions())
        FGroup->removeAction(action);
    FTitle = title;
    for (int i = 0; i < texts.size(); ++i) {
        QAction* action = FMenu->addAction(texts[i]);
        action->setCheckable(true);
        FGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, i] {
            UpdateToolTip();
            emit currentIndexChanged(i);
        });
    }
    setCurrentIndex(texts.isEmpty() ? -1 : std::min(current, int(texts.size()) - 1));
}

int TChoiceButton::count() const {
    return int(FGroup->actions().size());
}

int TChoiceButton::currentIndex() const {
    const QList<QAction*> actions = FGroup->actions();
    for (int i = 0; i < actions.size(); ++i)
        if (actions[i]->isChecked())
            return i;
    return -1;
}

void TChoiceButton::setCurrentIndex(int index) {
    const QList<QAction*> actions = FGroup->actions();
    if (index < 0 || index >= actions.size() || index == currentIndex())
        return;
    actions[index]->setChecked(true);
    UpdateToolTip();
    emit currentIndexChanged(index);
}

QString TChoiceButton::currentText() const {
    const int index = currentIndex();
    return index < 0 ? QString() : FGroup->actions()[index]->text();
}

void TChoiceButton::UpdateToolTip() {
    const QString text = currentText();
    setToolTip(text.isEmpty() ? FTitle : FTitle + QLatin1Char('\n') + text);
    setAccessibleName(FTitle);
    setAccessibleDescription(text);
}
