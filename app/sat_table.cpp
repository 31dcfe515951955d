#include "app/sat_table.h"

#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionViewItem>

namespace ostrel {

namespace {

// The column titles drawn as the grid's first row of cells, not as a header's buttons.
class TitleRow : public QHeaderView {
 public:
  explicit TitleRow(SatTable& table) : QHeaderView(Qt::Horizontal, &table), table_(table) {
    setSectionResizeMode(QHeaderView::Fixed);
    setSectionsClickable(false);
    setHighlightSections(false);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(viewport());
    // Beside the cells: the table's own background, as beside its other rows.
    const QWidget& under = *table_.viewport();
    painter.fillRect(viewport()->rect(), under.palette().brush(under.backgroundRole()));
    const int bottom = height() - 1;
    for (int c = 0; c < count(); ++c) {
      // The grid line takes the cell's last column and row of pixels, as in the table.
      const QRect cell(sectionViewportPosition(c), 0, sectionSize(c) - 1, bottom);
      table_.PaintTitleCell(painter, cell,
                            model() ? model()->headerData(c, orientation()).toString() : QString());
    }
    painter.setPen(table_.GridPen());
    painter.drawLine(0, bottom, length() - 1, bottom);
    for (int c = 0; c < count(); ++c) {
      const int x = sectionViewportPosition(c) + sectionSize(c) - 1;
      painter.drawLine(x, 0, x, bottom);
    }
  }

 private:
  SatTable& table_;
};

}  // namespace

SatTable::SatTable(QWidget* parent, int columns, int satellite_rows, int cell_width,
                   int cell_height)
    : QTableWidget(parent), slots_(satellite_rows), cell_height_(cell_height) {
  setHorizontalHeader(new TitleRow(*this));
  setColumnCount(columns);
  horizontalHeader()->setFixedHeight(cell_height);
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(cell_height);
  for (int c = 0; c < columns; ++c) {
    setColumnWidth(c, cell_width);
    setHorizontalHeaderItem(c, new QTableWidgetItem);
  }
  title_background_ = palette().button();
}

void SatTable::SetCell(int row, int col, std::string_view text) {
  if (row < 0 || row > slots_ || col < 0 || col >= columnCount()) return;
  const QLatin1String said(text.data(), static_cast<qsizetype>(text.size()));
  QTableWidgetItem* item = nullptr;
  if (row == 0) {
    item = horizontalHeaderItem(col);
  } else {
    if (col == 0 && text.empty() && rowCount() >= row) setRowCount(row - 1);
    if (col == 0 && !text.empty() && rowCount() < row) setRowCount(row);
    if (row > rowCount()) return;
    item = this->item(row - 1, col);
    if (item == nullptr) {
      item = new QTableWidgetItem;
      setItem(row - 1, col, item);
    }
  }
  if (item->text() != said) item->setText(said);
}

QString SatTable::Cell(int row, int col) const {
  const QTableWidgetItem* cell = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
  return cell ? cell->text() : QString();
}

void SatTable::PaintTitleCell(QPainter& painter, const QRect& cell, const QString& title) const {
  // The option a cell of the table is drawn with, and the style's own cell drawing.
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  if (option.state & QStyle::State_Enabled) option.palette.setCurrentColorGroup(QPalette::Normal);
  option.rect = cell;
  option.features |= QStyleOptionViewItem::HasDisplay;
  option.text = title;
  option.backgroundBrush = title_background_;
  option.styleObject = nullptr;
  style()->drawPrimitive(QStyle::PE_PanelItemViewRow, &option, &painter, this);
  style()->drawControl(QStyle::CE_ItemViewItem, &option, &painter, this);
}

QPen SatTable::GridPen() const {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const int hint = style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this);
  return QPen(QColor::fromRgba(static_cast<QRgb>(hint)), 1, gridStyle());
}

void SatTable::paintEvent(QPaintEvent* event) {
  QTableWidget::paintEvent(event);
  const int listed = rowCount();
  if (listed >= slots_) return;
  // The rows without a satellite stand as empty cells, as they always did.
  QPainter painter(viewport());
  painter.setPen(GridPen());
  const int right = horizontalHeader()->length() - 1;
  const int top = listed * cell_height_;
  const int bottom = slots_ * cell_height_ - 1;
  for (int y = top + cell_height_ - 1; y <= bottom; y += cell_height_)
    painter.drawLine(0, y, right, y);
  for (int c = 0; c < columnCount(); ++c) {
    const int x = columnViewportPosition(c) + columnWidth(c) - 1;
    painter.drawLine(x, top, x, bottom);
  }
}

}  // namespace ostrel
