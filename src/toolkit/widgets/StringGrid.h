// A grid of texts with one fixed header row (row 0) and no fixed column, selecting whole rows.
// Rows are numbered as in the toolkit's string grid: row 0 is the header (shown as the column
// header), rows 1 to RowCount()-1 hold the data.
#pragma once

#include <QTableWidget>

// A selection rectangle in grid cells; all four -1 is no selection.
struct TGridRect {
    int Left = -1, Top = -1, Right = -1, Bottom = -1;
    bool operator==(const TGridRect&) const = default;
};

class TStringGrid : public QTableWidget {
    Q_OBJECT
public:
    explicit TStringGrid(QWidget* parent = nullptr);

    int ColCount() const { return columnCount(); }
    void SetColCount(int count);
    // Rows including the header row; at least 2 (the header and one data row).
    int RowCount() const { return rowCount() + 1; }
    // Changing the row count keeps the selection, except that a selection beyond the new last
    // row moves onto that row.
    void SetRowCount(int count);

    QString Cells(int col, int row) const;
    void SetCells(int col, int row, const QString& text);

    int ColWidths(int col) const { return columnWidth(col); }
    void SetColWidths(int col, int width) { setColumnWidth(col, width); }
    int DefaultRowHeight() const { return FDefaultRowHeight; }
    void SetDefaultRowHeight(int height);

    TGridRect Selection() const;
    void SetSelection(const TGridRect& rect);
    // The first selected row, or -1.
    int Row() const { return Selection().Top; }

    // The first data row shown at the top, and how many data rows are fully visible.
    int TopRow() const;
    void SetTopRow(int row);
    int VisibleRowCount() const;

signals:
    // A row was clicked, or the selection was moved with the keyboard.
    void Click();
    void DblClick();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int FDefaultRowHeight = 16;
};
