// A small button for one of a few choices where there is no room for a combo box: it shows an
// icon, says the current choice in its tooltip and offers every choice in its menu (checked
// items, one at a time). currentIndex()/setCurrentIndex() as a combo box has them.
#pragma once

#include <QActionGroup>
#include <QToolButton>

class QMenu;

class TChoiceButton : public QToolButton {
    Q_OBJECT
public:
    explicit TChoiceButton(QWidget* parent = nullptr);

    // The choices' texts, and the tooltip's first line (the current choice follows it).
    void SetChoices(const QStringList& texts, const QString& title);
    int count() const;
    int currentIndex() const;
    void setCurrentIndex(int index);
    QString currentText() const;

signals:
    void currentIndexChanged(int index);

private:
    void UpdateToolTip();

    QMenu* FMenu;
    QActionGroup* FGroup;
    QString FTitle;
};
