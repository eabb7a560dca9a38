// StringGrid over QTableWidget: grid row r (r >= 1) is Qt row r - 1, the title row is the
// horizontal header. See string_grid.h.
#include "string_grid.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <algorithm>

#include "widget_kind.h"

namespace kest {

StringGrid::StringGrid(QWidget* parent) : QTableWidget(parent) {
    setWidgetKind(this, kind::grid);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setStretchLastSection(false);
    setColCount(1);
    connect(this, &QTableWidget::cellDoubleClicked, this,
            [this](int qtRow, int col) { emit gridDoubleClicked(col, qtRow + 1); });
    connect(horizontalHeader(), &QHeaderView::sectionDoubleClicked, this,
            [this](int col) { emit gridDoubleClicked(col, 0); });
}

void StringGrid::setColCount(int count) {
    const int old = columnCount();
    setColumnCount(std::max(count, 1));
    for (int c = old; c < columnCount(); ++c) {
        if (horizontalHeaderItem(c) == nullptr) {
            setHorizontalHeaderItem(c, new QTableWidgetItem(QString()));
        }
    }
}

void StringGrid::setTitles(const QStringList& titles) {
    setColCount(static_cast<int>(titles.size()));
    for (int c = 0; c < titles.size(); ++c) {
        setCells(c, 0, titles[c]);
    }
}

void StringGrid::setColWidth(int col, int width) {
    setColumnWidth(col, std::max(width, 1));
}

int StringGrid::colWidth(int col) const {
    return columnWidth(col);
}

void StringGrid::hideIdColumn() {
    setColWidth(0, 1);
}

void StringGrid::setRowCount(int rows) {
    QTableWidget::setRowCount(std::max(rows, 1) - 1);
}

QString StringGrid::cells(int col, int row) const {
    if (col < 0 || col >= columnCount() || row < 0 || row >= rowCount()) {
        return {};
    }
    const QTableWidgetItem* it = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
    return it != nullptr ? it->text() : QString();
}

QTableWidgetItem* StringGrid::ensureItem(int qtRow, int col) {
    QTableWidgetItem* it = item(qtRow, col);
    if (it == nullptr) {
        it = new QTableWidgetItem();
        it->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(qtRow, col, it);
    }
    return it;
}

void StringGrid::setCells(int col, int row, const QString& text) {
    if (col < 0 || col >= columnCount() || row < 0 || row >= rowCount()) {
        return;
    }
    if (row == 0) {
        QTableWidgetItem* it = horizontalHeaderItem(col);
        if (it == nullptr) {
            setHorizontalHeaderItem(col, new QTableWidgetItem(text));
        } else {
            it->setText(text);
        }
        return;
    }
    ensureItem(row - 1, col)->setText(text);
}

QStringList StringGrid::rowTexts(int row) const {
    QStringList out;
    for (int c = 0; c < columnCount(); ++c) {
        out << cells(c, row);
    }
    return out;
}

void StringGrid::setRowTexts(int row, const QStringList& texts) {
    for (int c = 0; c < texts.size() && c < columnCount(); ++c) {
        setCells(c, row, texts[c]);
    }
}

int StringGrid::appendRow() {
    insertRow(QTableWidget::rowCount());
    return rowCount() - 1;
}

void StringGrid::insertRowBelowTitle() {
    insertRow(0);
}

void StringGrid::removeRow(int row) {
    if (row >= 1 && row < rowCount()) {
        QTableWidget::removeRow(row - 1);
    }
}

void StringGrid::clearToTitle() {
    clearSelection();
    QTableWidget::setRowCount(0);
}

std::vector<int> StringGrid::selectedRows() const {
    std::vector<int> rows;
    if (selectionModel() == nullptr) {
        return rows;
    }
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        rows.push_back(index.row() + 1);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

int StringGrid::topSelectedRow() const {
    const std::vector<int> rows = selectedRows();
    return rows.empty() ? 0 : rows.front();
}

void StringGrid::selectRow(int row) {
    clearSelection();
    if (row >= 1 && row < rowCount()) {
        setRowSelected(row, true);
        setCurrentCell(row - 1, currentColumn() < 0 ? 0 : currentColumn(),
                       QItemSelectionModel::NoUpdate);
    }
}

void StringGrid::setRowSelected(int row, bool selected) {
    if (row < 1 || row >= rowCount() || selectionModel() == nullptr) {
        return;
    }
    const QModelIndex index = model()->index(row - 1, 0);
    selectionModel()->select(
        index, (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                   QItemSelectionModel::Rows);
}

int StringGrid::rowAtPos(const QPoint& viewportPos) const {
    const int qtRow = rowAt(viewportPos.y());
    return qtRow < 0 ? -1 : qtRow + 1;
}

std::vector<QStringList> StringGrid::allRows() const {
    std::vector<QStringList> rows;
    rows.reserve(static_cast<size_t>(rowCount()));
    for (int r = 0; r < rowCount(); ++r) {
        rows.push_back(rowTexts(r));
    }
    return rows;
}

}  // namespace kest
