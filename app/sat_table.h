#pragma once
// SatGrid, the satellite table: a title row and twelve rows, one satellite each, as the
// panel has always drawn it. The title row is the table's column header and only the
// rows holding a satellite are the table's rows, so a screen reader hears the columns'
// titles and as many rows as satellites are listed; the empty rows below are drawn as
// empty cells, so the grid looks as it always did.
#include <QBrush>
#include <QHeaderView>
#include <QString>
#include <QTableWidget>
#include <string_view>

namespace ostrel {

class SatTable : public QTableWidget {
 public:
  // Room for the title row and `satellite_rows` satellites, in cells of this size.
  SatTable(QWidget* parent, int columns, int satellite_rows, int cell_width, int cell_height);

  // The display's numbering: row 0 the column titles, rows 1..satellite_rows the satellites. A
  // row is listed from the moment its first cell (the ID) is written and leaves, with
  // the rows after it, when that cell is blanked.
  void SetCell(int row, int col, std::string_view text);
  // What the cell shows; rows not listed show nothing.
  QString Cell(int row, int col) const;

  // The grid drawing, for the title row.
  void PaintTitleCell(QPainter& painter, const QRect& cell, const QString& title) const;
  QPen GridPen() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int slots_;
  int cell_height_;
  // The title row's colour, taken once, as the grid always took it.
  QBrush title_background_;
};

}  // namespace ostrel
