// The file table: the list of records (TablePathArr) as a table model with
// four columns by identifier, and the delegate that draws the state cell
// (icon or failure text) and the operation cell (preview and delete buttons).
//
// Rows are drawn from their records: a change of a record emits dataChanged
// and the row redraws, on screen or when it is next scrolled into view.
#pragma once

#include <QtCore/QAbstractTableModel>
#include <QtCore/QPersistentModelIndex>
#include <QtWidgets/QStyledItemDelegate>

class QTableView;

#include <QtGui/QPixmap>

#include <cstdint>
#include <string>
#include <vector>

#include "convert/file_list.h"
#include "pipeline/decode/extraction.h"

namespace ambrel::app {

// One row of the list: the source file, its size text and the last job's
// outcome. The conversion core's record serves as the list record.
using NSAmbrelData = convert::FileRecord;

enum class RowState {
    NotConverted,  // no output path, no failure text
    Converted,     // an output path
    Failed,        // a failure text
    Converting,    // the running job's current file (not stored in the record)
    Skipped,       // its output existed and the job was told to skip such files
};

[[nodiscard]] RowState rowStateOf(const NSAmbrelData& record);

// The text a failed row shows, in the user's language when it is one of the
// conversion's row texts.
[[nodiscard]] QString rowTextOf(const std::string& text);
// The state text of the row being converted.
[[nodiscard]] QString convertingText();
// What a row's state is, in words, for every state (screen readers, the details line).
[[nodiscard]] QString stateWords(RowState state);

// A file size as people read it: "384 bytes", "1.2 MB" (decimal units, in the
// window's language).
[[nodiscard]] QString sizeText(qint64 bytes);

// What a file holds besides its main picture, for the name cell's tooltip;
// empty when it holds nothing more.
[[nodiscard]] QString holdsText(const pipeline::ImageInventory& inventory);

class FileTableModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column {
        NameColumn,
        SizeColumn,
        StateColumn,
        DeleteColumn,
        ColumnCount,
    };

    enum Role {
        RowStateRole = Qt::UserRole + 1,  // RowState as int
        ImageNameRole,                    // the state icon's name, when an icon is shown
        PreviewShownRole,                 // the operation cell shows its preview button
        HoldsMoreRole,                    // the file holds more than its main picture (bool)
    };

    // The column identifiers: "name", "size", "state", "delete".
    static QString columnIdentifier(int column);
    // The column of an identifier; -1 for any other.
    static int columnOfIdentifier(const QString& identifier);

    explicit FileTableModel(QObject* parent = nullptr);

    // The list.
    int count() const { return static_cast<int>(mRows.size()); }
    bool isEmpty() const { return mRows.empty(); }
    const NSAmbrelData& record(int row) const { return mRows.at(static_cast<std::size_t>(row)).record; }
    // Whether a record has exactly this source path.
    [[nodiscard]] bool contains(const QString& path) const;
    void append(NSAmbrelData record);
    void removeRecord(int row);
    void removeAll();
    std::vector<NSAmbrelData> records() const;

    // Every row has an id of its own for as long as it is listed, so that a
    // job's report finds its row even when rows were removed meanwhile.
    std::uint64_t rowId(int row) const { return mRows.at(static_cast<std::size_t>(row)).id; }
    std::vector<std::uint64_t> rowIds() const;
    [[nodiscard]] int rowOfId(std::uint64_t id) const;

    // The last job's outcome.
    void clearResults();
    void setConverted(int row, const QString& outputPath);
    // `text` is the row text shown in the state cell; `detail`, the cause,
    // is the cell's tooltip.
    void setFailed(int row, const QString& text, const QString& detail = {});
    // The row's output name was taken and the job skipped it; `existingPath`
    // is that file, which the preview then shows.
    void setSkipped(int row, const QString& existingPath);
    // Redraws the row's operation cell, which offers the preview of a
    // converted row.
    void showPreview(int row);
    // Marks a row the job is converting now, or no longer; its state cell
    // shows convertingText() until the row has its outcome. Several rows
    // are converted at once when the job has several workers.
    void setConverting(int row, bool converting);
    void clearConverting();
    [[nodiscard]] std::vector<int> convertingRows() const;

    // What the row's file holds besides its main picture, said for a person
    // ("The file also holds: a depth map, an HDR gain map"); empty for
    // nothing. The name cell shows a mark and says it in its tooltip.
    void setHolds(std::uint64_t id, const QString& text);
    [[nodiscard]] QString holds(int row) const { return mRows.at(static_cast<std::size_t>(row)).holds; }
    // The picture of the thumbnail the file stores, shown before its name.
    void setThumbnail(std::uint64_t id, const QImage& thumbnail);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Row
    {
        std::uint64_t id = 0;
        NSAmbrelData record;
        QString holds;
        QPixmap thumbnail;
        bool skipped = false;
    };
    [[nodiscard]] RowState stateOfRow(int row) const;

    void rowChanged(int row, int firstColumn, int lastColumn);

    std::vector<Row> mRows;
    std::uint64_t mNextId = 1;
    std::vector<std::uint64_t> mConvertingIds;  // the rows being converted
};

// Draws the state and operation cells and turns clicks on the operation
// cell's buttons into signals. The other columns are drawn as plain text.
class FileTableDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    // Positions inside a cell whose top left corner is `cell.topLeft()`.
    static QRect stateIconRect(const QRect& cell);  // 5, 4, 16 x 16
    static QRect stateTextRect(const QRect& cell);  // 0, 2, 200 x 20, cut at the cell
    // The operation cell with both buttons: preview at 10, 4 and delete at
    // 40, 4; with the delete button only: delete at 7, 4. All 16 x 16.
    static QRect previewButtonRect(const QRect& cell);
    static QRect deleteButtonRect(const QRect& cell, bool previewShown);

    // Draws the cells of `view`, which becomes its parent.
    explicit FileTableDelegate(QTableView* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

signals:
    // A click (press and release on the same button) on a row's button.
    void PreButtonEvent(int row);
    void DeleteBtEvent(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Button {
        None,
        Preview,
        Delete,
    };
    static Button buttonAt(const QRect& cell, const QModelIndex& index, const QPoint& position);

    void paintState(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    void paintOperations(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;

    QTableView* mView;
    QObject* mViewport;
    QPersistentModelIndex mPressedIndex;
    Button mPressedButton = Button::None;
};

}  // namespace ambrel::app
