// StringGrid: the client's list of texts, numbered as the forms think of it: row 0 is the title
// row (shown as the fixed header, so it stays on top while the rows scroll), rows 1.. are data.
// Every row number this class takes or returns is such a grid row, and rowCount() counts the
// title row. Whole rows are selected, several at once (also non-adjacent ones, with Ctrl). Column
// 0 conventionally holds an oid as decimal text and is practically hidden (hideIdColumn).
// Invariant: rowCount() >= 1; the title row can be neither removed nor selected.
// (Qt's own QTableWidget functions that this class does not redefine, such as item(), keep
// Qt's 0-based data numbering; prefer the grid functions below.)
#pragma once

#include <QStringList>
#include <QTableWidget>
#include <vector>

namespace kest {

class StringGrid : public QTableWidget {
    Q_OBJECT

  public:
    explicit StringGrid(QWidget* parent = nullptr);

    // Columns: their count, title texts (row 0) and widths in pixels.
    void setColCount(int count);
    int colCount() const { return columnCount(); }
    void setTitles(const QStringList& titles);  // also sets colCount
    void setColWidth(int col, int width);
    int colWidth(int col) const;
    // Column 0 becomes 1 pixel wide: it carries the oid, the user never sees it.
    void hideIdColumn();

    // Rows, title row included.
    int rowCount() const { return QTableWidget::rowCount() + 1; }
    void setRowCount(int rows);  // at least 1; new rows are empty, extra rows are removed
    int dataRowCount() const { return QTableWidget::rowCount(); }
    bool hasData() const { return dataRowCount() > 0; }

    // Cell texts; row 0 is the title. Reading outside the grid gives an empty text; writing
    // outside it is ignored.
    QString cells(int col, int row) const;
    void setCells(int col, int row, const QString& text);
    QStringList rowTexts(int row) const;                  // every column of one row
    void setRowTexts(int row, const QStringList& texts);  // columns from 0, as many as given

    // Adds an empty data row at the end and returns its number.
    int appendRow();
    // Adds an empty row right below the title row (row 1); the data rows move down by one.
    void insertRowBelowTitle();
    // Removes data row `row` (the title row cannot be removed).
    void removeRow(int row);
    // Back to the title row alone (titles and widths are kept).
    void clearToTitle();

    // Selection, in grid rows. selectedRows() is ascending and holds only data rows.
    std::vector<int> selectedRows() const;
    // The topmost selected data row; 0 (the title row, "no data row") when nothing is selected.
    int topSelectedRow() const;
    // Clears the selection and selects `row` alone (row 0 clears the selection).
    void selectRow(int row);
    // Adds or removes one row from the selection.
    void setRowSelected(int row, bool selected);
    // The grid row under a point of the viewport (-1 below the last row) and the column (-1
    // outside the columns). The title row is the header, outside the viewport: row 0 never
    // comes from here but from gridDoubleClicked.
    int rowAtPos(const QPoint& viewportPos) const;
    int colAtPos(const QPoint& viewportPos) const { return columnAt(viewportPos.x()); }

    // Export helpers for the later writers: every row, title row first.
    std::vector<QStringList> allRows() const;

  signals:
    // A double-click on a cell, in grid numbering; a double-click on the title gives row 0.
    void gridDoubleClicked(int col, int row);

  private:
    // Qt's numbering below this line: data row r is Qt row r - 1.
    QTableWidgetItem* ensureItem(int qtRow, int col);
};

}  // namespace kest

using kest::StringGrid;
