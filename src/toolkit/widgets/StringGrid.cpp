#include "toolkit/widgets/StringGrid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

TStringGrid::TStringGrid(QWidget* parent) : QTableWidget(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SetDefaultRowHeight(16);
    setRowCount(1);
}

void TStringGrid::SetColCount(int count) {
    const int old = columnCount();
    setColumnCount(count);
    for (int c = old; c < count; ++c)
        setHorizontalHeaderItem(c, new QTableWidgetItem(QString()));
}

void TStringGrid::SetDefaultRowHeight(int height) {
    FDefaultRowHeight = height;
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(height);
    horizontalHeader()->setFixedHeight(height + 2);
}

void TStringGrid::SetRowCount(int count) {
    count = qMax(2, count);
    const TGridRect before = Selection();
    setRowCount(count - 1);
    if (before.Top >= 0) {
        TGridRect after = before;
        after.Top = qMin(before.Top, count - 1);
        after.Bottom = qMin(before.Bottom, count - 1);
        SetSelection(after);
    }
}

QString TStringGrid::Cells(int col, int row) const {
    const QTableWidgetItem* cell = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
    return cell ? cell->text() : QString();
}

void TStringGrid::SetCells(int col, int row, const QString& text) {
    if (col < 0 || col >= columnCount() || row < 0 || row > rowCount())
        return;
    if (row == 0) {
        if (QTableWidgetItem* header = horizontalHeaderItem(col))
            header->setText(text);
        else
            setHorizontalHeaderItem(col, new QTableWidgetItem(text));
        return;
    }
    if (QTableWidgetItem* cell = item(row - 1, col))
        cell->setText(text);
    else
        setItem(row - 1, col, new QTableWidgetItem(text));
}

TGridRect TStringGrid::Selection() const {
    const QList<QTableWidgetSelectionRange> ranges = selectedRanges();
    if (ranges.isEmpty())
        return {};
    const QTableWidgetSelectionRange& range = ranges.first();
    return {range.leftColumn(), range.topRow() + 1, range.rightColumn(), range.bottomRow() + 1};
}

void TStringGrid::SetSelection(const TGridRect& rect) {
    clearSelection();
    if (rect.Top < 1 || rect.Top > rowCount() || rect.Left < 0) {
        setCurrentIndex(QModelIndex());
        viewport()->update();
        return;
    }
    const int bottom = qBound(rect.Top, rect.Bottom, rowCount());
    const int right = qBound(rect.Left, rect.Right, columnCount() - 1);
    setCurrentCell(rect.Top - 1, rect.Left, QItemSelectionModel::NoUpdate);
    setRangeSelected(QTableWidgetSelectionRange(rect.Top - 1, rect.Left, bottom - 1, right), true);
    viewport()->update();
}

int TStringGrid::TopRow() const {
    return verticalScrollBar()->value() + 1;
}

void TStringGrid::SetTopRow(int row) {
    verticalScrollBar()->setValue(qMax(0, row - 1));
}

int TStringGrid::VisibleRowCount() const {
    const int height = qMax(1, verticalHeader()->defaultSectionSize());
    return qMax(0, viewport()->height() / height);
}

void TStringGrid::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid() || event->button() != Qt::LeftButton) {
        // Presses outside the rows, and the right button that opens the context menu, leave the
        // selection as it is.
        event->accept();
        return;
    }
    QTableWidget::mousePressEvent(event);
    emit Click();
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid() || event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    QTableWidget::mouseDoubleClickEvent(event);
    emit DblClick();
}

void TStringGrid::keyPressEvent(QKeyEvent* event) {
    const TGridRect before = Selection();
    const int beforeCurrent = currentRow();
    QTableWidget::keyPressEvent(event);
    if (currentRow() >= 0 && currentRow() != beforeCurrent) {
        // Keyboard moves select the whole current row.
        SetSelection({0, currentRow() + 1, columnCount() - 1, currentRow() + 1});
    }
    if (Selection() != before)
        emit Click();
}
