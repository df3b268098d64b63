#include "app/file_table.h"

#include <algorithm>

#include <QtCore/QCoreApplication>
#include <QtCore/QLocale>
#include <QtGui/QCursor>
#include <QtGui/QHelpEvent>
#include <QtGui/QIcon>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QPen>
#include <QtGui/QPixmap>
#include <QtWidgets/QTableView>
#include <QtWidgets/QToolTip>

#include "app/custom_controls.h"
#include "app/failure_reasons.h"
#include "app/images.h"
#include "convert/conversion_job.h"

namespace ambrel::app {

RowState rowStateOf(const NSAmbrelData& record)
{
    if (!record.toErrInfo.empty()) {
        return RowState::Failed;
    }
    return record.toPath.empty() ? RowState::NotConverted : RowState::Converted;
}

namespace {

// The row texts of the conversion, named here for the translation tools.
const char* const kRowTexts[] = {
    QT_TRANSLATE_NOOP("FileTable", "路径下找不到文件"),
    QT_TRANSLATE_NOOP("FileTable", "文件转换失败"),
    QT_TRANSLATE_NOOP("FileTable", "文件不存在，保存失败！"),
    QT_TRANSLATE_NOOP("FileTable", "保存文件失败"),
};

}  // namespace

QString rowTextOf(const std::string& text)
{
    for (const char* known : kRowTexts) {
        if (text == known) {
            return QCoreApplication::translate("FileTable", known);
        }
    }
    return QString::fromStdString(text);
}

QString convertingText()
{
    return QCoreApplication::translate("FileTable", "转换中...");
}

QString stateWords(RowState state)
{
    switch (state) {
    case RowState::NotConverted: return QCoreApplication::translate("FileTable", "未转换");
    case RowState::Converted: return QCoreApplication::translate("FileTable", "已转换");
    case RowState::Failed: return QCoreApplication::translate("FileTable", "转换失败");
    case RowState::Converting: return convertingText();
    case RowState::Skipped: return QCoreApplication::translate("FileTable", "已跳过：文件已存在");
    }
    return {};
}

QString sizeText(qint64 bytes)
{
    if (bytes < 1000) {
        const int count = static_cast<int>(bytes);
        return QCoreApplication::translate("FileTable", "%n 字节", nullptr, count);
    }
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(QLocale().toString(value, 'f', value < 99.95 ? 1 : 0),
                                       QLatin1String(kUnits[unit]));
}

QString holdsText(const pipeline::ImageInventory& inventory)
{
    QStringList parts;
    if (inventory.images.size() > 1) {
        const int more = static_cast<int>(inventory.images.size() - 1);
        parts << QCoreApplication::translate("FileTable", "另外 %n 张图像", nullptr, more);
    }
    // The kinds of auxiliary image, each once, in a fixed order.
    bool kinds[5] = {};
    for (const pipeline::ListedImage& image : inventory.images) {
        for (const pipeline::AuxiliaryImage& auxiliary : image.auxiliary) {
            kinds[static_cast<int>(auxiliary.kind)] = true;
        }
    }
    const std::pair<pipeline::AuxiliaryKind, const char*> names[] = {
        {pipeline::AuxiliaryKind::Depth, QT_TRANSLATE_NOOP("FileTable", "深度图")},
        {pipeline::AuxiliaryKind::Disparity, QT_TRANSLATE_NOOP("FileTable", "视差图")},
        {pipeline::AuxiliaryKind::GainMap, QT_TRANSLATE_NOOP("FileTable", "HDR 增益图")},
        {pipeline::AuxiliaryKind::Alpha, QT_TRANSLATE_NOOP("FileTable", "透明通道")},
        {pipeline::AuxiliaryKind::Other, QT_TRANSLATE_NOOP("FileTable", "其他附加图像")},
    };
    for (const auto& [kind, name] : names) {
        if (kinds[static_cast<int>(kind)]) {
            parts << QCoreApplication::translate("FileTable", name);
        }
    }
    if (inventory.frames > 1) {
        const int frames = static_cast<int>(inventory.frames);
        parts << QCoreApplication::translate("FileTable", "%n 帧的图像序列", nullptr, frames);
    }
    if (parts.isEmpty()) {
        return {};
    }
    return QCoreApplication::translate("FileTable", "文件中还有：%1")
        .arg(parts.join(QCoreApplication::translate("FileTable", "、")));
}

namespace {

// The name cell's mark of a file that holds more: two pictures stacked.
QIcon holdsMoreIcon()
{
    static const QIcon icon = [] {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(110, 57, 192), 2.5));
        painter.setBrush(QColor(255, 255, 255));
        painter.drawRoundedRect(QRectF(9, 3, 20, 17), 3, 3);
        painter.setBrush(QColor(236, 228, 250));
        painter.drawRoundedRect(QRectF(3, 11, 20, 17), 3, 3);
        return QIcon(pixmap);
    }();
    return icon;
}

}  // namespace

// --- the model ---

namespace {

// A failed row's text: a file that is there but cannot be read says why
// (permission denied...) rather than that it was not found.
QString failedRowText(const NSAmbrelData& record)
{
    static const std::string kCannotOpen = "cannot open the file: ";
    if (record.toErrInfo == convert::kTextNotFound && record.toErrDetail.starts_with(kCannotOpen) &&
        !record.toErrDetail.ends_with("No such file or directory")) {
        return failureReasonText(QString::fromStdString(record.toErrDetail));
    }
    return rowTextOf(record.toErrInfo);
}

}  // namespace

QString FileTableModel::columnIdentifier(int column)
{
    switch (column) {
    case NameColumn: return QStringLiteral("name");
    case SizeColumn: return QStringLiteral("size");
    case StateColumn: return QStringLiteral("state");
    case DeleteColumn: return QStringLiteral("delete");
    default: return {};
    }
}

int FileTableModel::columnOfIdentifier(const QString& identifier)
{
    for (int column = 0; column < ColumnCount; ++column) {
        if (columnIdentifier(column) == identifier) {
            return column;
        }
    }
    return -1;
}

FileTableModel::FileTableModel(QObject* parent) : QAbstractTableModel(parent) {}

bool FileTableModel::contains(const QString& path) const
{
    const std::string key = path.toStdString();
    for (const Row& row : mRows) {
        if (row.record.heicPath == key) {
            return true;
        }
    }
    return false;
}

void FileTableModel::append(NSAmbrelData record)
{
    const int row = count();
    beginInsertRows({}, row, row);
    mRows.push_back(Row{mNextId++, std::move(record), {}, {}, false});
    endInsertRows();
}

void FileTableModel::removeRecord(int row)
{
    if (row < 0 || row >= count()) {
        return;
    }
    beginRemoveRows({}, row, row);
    mRows.erase(mRows.begin() + row);
    endRemoveRows();
}

void FileTableModel::removeAll()
{
    beginResetModel();
    mRows.clear();
    endResetModel();
}

std::vector<NSAmbrelData> FileTableModel::records() const
{
    std::vector<NSAmbrelData> records;
    records.reserve(mRows.size());
    for (const Row& row : mRows) {
        records.push_back(row.record);
    }
    return records;
}

std::vector<std::uint64_t> FileTableModel::rowIds() const
{
    std::vector<std::uint64_t> ids;
    ids.reserve(mRows.size());
    for (const Row& row : mRows) {
        ids.push_back(row.id);
    }
    return ids;
}

int FileTableModel::rowOfId(std::uint64_t id) const
{
    for (std::size_t i = 0; i < mRows.size(); ++i) {
        if (mRows[i].id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void FileTableModel::clearResults()
{
    for (Row& row : mRows) {
        row.skipped = false;
        row.record.toErrInfo.clear();
        row.record.toErrDetail.clear();
        row.record.toPath.clear();
    }
    if (!mRows.empty()) {
        emit dataChanged(index(0, StateColumn), index(count() - 1, DeleteColumn));
    }
}

void FileTableModel::setConverted(int row, const QString& outputPath)
{
    if (row < 0 || row >= count()) {
        return;
    }
    NSAmbrelData& record = mRows[static_cast<std::size_t>(row)].record;
    record.toPath = outputPath.toStdString();
    record.toErrInfo.clear();
    record.toErrDetail.clear();
    mRows[static_cast<std::size_t>(row)].skipped = false;
    rowChanged(row, StateColumn, DeleteColumn);
}

void FileTableModel::setSkipped(int row, const QString& existingPath)
{
    if (row < 0 || row >= count()) {
        return;
    }
    Row& entry = mRows[static_cast<std::size_t>(row)];
    entry.record.toPath = existingPath.toStdString();
    entry.record.toErrInfo.clear();
    entry.record.toErrDetail.clear();
    entry.skipped = true;
    rowChanged(row, StateColumn, DeleteColumn);
}

RowState FileTableModel::stateOfRow(int row) const
{
    const Row& entry = mRows.at(static_cast<std::size_t>(row));
    if (std::find(mConvertingIds.begin(), mConvertingIds.end(), entry.id) != mConvertingIds.end()) {
        return RowState::Converting;
    }
    return entry.skipped && entry.record.toErrInfo.empty() ? RowState::Skipped : rowStateOf(entry.record);
}

void FileTableModel::setFailed(int row, const QString& text, const QString& detail)
{
    if (row < 0 || row >= count()) {
        return;
    }
    NSAmbrelData& record = mRows[static_cast<std::size_t>(row)].record;
    record.toErrInfo = text.toStdString();
    record.toErrDetail = detail.toStdString();
    mRows[static_cast<std::size_t>(row)].skipped = false;
    rowChanged(row, StateColumn, StateColumn);
}

void FileTableModel::setConverting(int row, bool converting)
{
    if (row < 0 || row >= count()) {
        return;
    }
    const std::uint64_t id = rowId(row);
    const auto found = std::find(mConvertingIds.begin(), mConvertingIds.end(), id);
    if (converting == (found != mConvertingIds.end())) {
        return;
    }
    if (converting) {
        mConvertingIds.push_back(id);
    } else {
        mConvertingIds.erase(found);
    }
    rowChanged(row, StateColumn, StateColumn);
}

void FileTableModel::setHolds(std::uint64_t id, const QString& text)
{
    const int row = rowOfId(id);
    if (row < 0 || mRows[static_cast<std::size_t>(row)].holds == text) {
        return;
    }
    mRows[static_cast<std::size_t>(row)].holds = text;
    rowChanged(row, NameColumn, NameColumn);
}

void FileTableModel::setThumbnail(std::uint64_t id, const QImage& thumbnail)
{
    const int row = rowOfId(id);
    if (row < 0 || thumbnail.isNull()) {
        return;
    }
    // Square, the picture centred, so that the names stay in line.
    const int side = std::max(thumbnail.width(), thumbnail.height());
    QPixmap square(side, side);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    painter.drawImage((side - thumbnail.width()) / 2, (side - thumbnail.height()) / 2, thumbnail);
    painter.end();
    mRows[static_cast<std::size_t>(row)].thumbnail = square;
    rowChanged(row, NameColumn, NameColumn);
}

void FileTableModel::clearConverting()
{
    const std::vector<int> rows = convertingRows();
    mConvertingIds.clear();
    for (int row : rows) {
        rowChanged(row, StateColumn, StateColumn);
    }
}

std::vector<int> FileTableModel::convertingRows() const
{
    std::vector<int> rows;
    for (std::uint64_t id : mConvertingIds) {
        const int row = rowOfId(id);
        if (row >= 0) {
            rows.push_back(row);
        }
    }
    return rows;
}

void FileTableModel::showPreview(int row)
{
    if (row >= 0 && row < count()) {
        rowChanged(row, DeleteColumn, DeleteColumn);
    }
}

void FileTableModel::rowChanged(int row, int firstColumn, int lastColumn)
{
    emit dataChanged(index(row, firstColumn), index(row, lastColumn));
}

int FileTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

int FileTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FileTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= count()) {
        return {};
    }
    const NSAmbrelData& row = record(index.row());
    const RowState state = stateOfRow(index.row());
    switch (index.column()) {
    case NameColumn:
        // The file's name; its folder in the tooltip.
        if (role == Qt::DisplayRole) {
            return QString::fromStdString(std::string(convert::lastComponent(row.heicPath)));
        }
        if (role == Qt::ToolTipRole) {
            const QString& holds = mRows[static_cast<std::size_t>(index.row())].holds;
            return QString::fromStdString(row.heicPath) + (holds.isEmpty() ? QString() : u'\n' + holds);
        }
        if (role == HoldsMoreRole) {
            return !mRows[static_cast<std::size_t>(index.row())].holds.isEmpty();
        }
        if (role == Qt::DecorationRole) {
            const Row& entry = mRows[static_cast<std::size_t>(index.row())];
            if (!entry.thumbnail.isNull() && entry.holds.isEmpty()) {
                return entry.thumbnail;
            }
            if (!entry.thumbnail.isNull()) {
                // The mark of a file that holds more, in the thumbnail's corner.
                QPixmap marked = entry.thumbnail;
                QPainter painter(&marked);
                const int mark = marked.width() / 2;
                holdsMoreIcon().paint(&painter, QRect(marked.width() - mark, marked.height() - mark, mark, mark));
                painter.end();
                return marked;
            }
            if (!entry.holds.isEmpty()) {
                return holdsMoreIcon();
            }
        }
        break;
    case SizeColumn:
        if (role == Qt::DisplayRole) {
            return QString::fromStdString(row.heicFileSize);
        }
        break;
    case StateColumn:
        if (role == Qt::DisplayRole) {
            switch (state) {
            case RowState::Failed: return failedRowText(row);
            case RowState::Converting:
            case RowState::Skipped: return stateWords(state);
            default: return QString();
            }
        }
        if (role == Qt::AccessibleTextRole) {
            return state == RowState::Failed ? failedRowText(row) : stateWords(state);
        }
        if (role == Qt::ToolTipRole) {
            // A failed row's tooltip says why (as the conversion words it);
            // the row text alone when the cause is unknown.
            if (state == RowState::Skipped) {
                return QString::fromStdString(row.toPath);
            }
            if (state != RowState::Failed) {
                return QString();
            }
            return row.toErrDetail.empty() ? rowTextOf(row.toErrInfo)
                                           : failureReasonText(QString::fromStdString(row.toErrDetail));
        }
        if (role == RowStateRole) {
            return static_cast<int>(state);
        }
        if (role == ImageNameRole) {
            if (state == RowState::Failed || state == RowState::Converting || state == RowState::Skipped) {
                return QString();
            }
            return state == RowState::Converted ? image::kToComplete : image::kNoTo;
        }
        break;
    case DeleteColumn:
        if (role == PreviewShownRole) {
            return !row.toPath.empty();
        }
        if (role == Qt::AccessibleTextRole) {
            return row.toPath.empty() ? QCoreApplication::translate("FileTable", "删除")
                                      : QCoreApplication::translate("FileTable", "预览、删除");
        }
        break;
    default: break;
    }
    return {};
}

QVariant FileTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case NameColumn: return QCoreApplication::translate("FileTable", "文件");
    case SizeColumn: return QCoreApplication::translate("FileTable", "大小");
    case StateColumn: return QCoreApplication::translate("FileTable", "状态");
    case DeleteColumn: return QCoreApplication::translate("FileTable", "操作");
    default: return {};
    }
}

Qt::ItemFlags FileTableModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

// --- the delegate ---

namespace {

const QColor kFailureText(192, 57, 43);

QRect cellRect(const QRect& cell, int x, int y, int width, int height)
{
    return QRect(cell.left() + x, cell.top() + y, width, height);
}

}  // namespace

QRect FileTableDelegate::stateIconRect(const QRect& cell)
{
    return cellRect(cell, 5, 4, 16, 16);
}

QRect FileTableDelegate::stateTextRect(const QRect& cell)
{
    return cellRect(cell, 0, 2, std::min(200, cell.width()), 20);
}

QRect FileTableDelegate::previewButtonRect(const QRect& cell)
{
    return cellRect(cell, 10, 4, 16, 16);
}

QRect FileTableDelegate::deleteButtonRect(const QRect& cell, bool previewShown)
{
    return previewShown ? cellRect(cell, 40, 4, 16, 16) : cellRect(cell, 7, 4, 16, 16);
}

FileTableDelegate::FileTableDelegate(QTableView* view)
    : QStyledItemDelegate(view), mView(view), mViewport(view->viewport())
{
    // The button under the pointer is highlighted: follow the pointer.
    view->viewport()->setMouseTracking(true);
    view->viewport()->installEventFilter(this);
}

bool FileTableDelegate::eventFilter(QObject* watched, QEvent* event)
{
    // Compared with the viewport kept at the start: the view may be half
    // destroyed when its viewport's last events come.
    if (watched != mViewport) {
        return QStyledItemDelegate::eventFilter(watched, event);
    }
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Leave) {
        const int x = mView->columnViewportPosition(FileTableModel::DeleteColumn);
        mView->viewport()->update(
            QRect(x, 0, mView->columnWidth(FileTableModel::DeleteColumn), mView->viewport()->height()));
    }
    return false;
}

void FileTableDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    switch (index.column()) {
    case FileTableModel::StateColumn: paintState(painter, option, index); break;
    case FileTableModel::DeleteColumn: paintOperations(painter, option, index); break;
    default: {
        QStyleOptionViewItem textOption(option);
        textOption.textElideMode = Qt::ElideMiddle;
        QStyledItemDelegate::paint(painter, textOption, index);
        break;
    }
    }
}

// The cell's background as the view draws it (alternating rows, selection).
static void paintCellBackground(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index)
{
    QStyleOptionViewItem background(option);
    background.index = index;
    background.text.clear();
    background.icon = QIcon();
    background.features &= ~QStyleOptionViewItem::HasDisplay;
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : nullptr;
    if (style != nullptr) {
        style->drawPrimitive(QStyle::PE_PanelItemViewItem, &background, painter, widget);
    }
}

void FileTableDelegate::paintState(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const
{
    paintCellBackground(painter, option, index);
    const auto state = static_cast<RowState>(index.data(FileTableModel::RowStateRole).toInt());
    painter->save();
    if (state == RowState::Failed) {
        const QRect textRect = stateTextRect(option.rect).adjusted(5, 0, 0, 0);
        const QString text =
            option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
        painter->setPen(kFailureText);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text);
    } else if (state == RowState::Skipped) {
        const QRect textRect = stateTextRect(option.rect).adjusted(5, 0, 0, 0);
        painter->setPen(option.palette.color(QPalette::PlaceholderText));
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                          option.fontMetrics.elidedText(stateWords(state), Qt::ElideRight, textRect.width()));
    } else if (state == RowState::Converting) {
        const QRect textRect = stateTextRect(option.rect).adjusted(5, 0, 0, 0);
        QFont bold = option.font;
        bold.setBold(true);
        painter->setFont(bold);
        painter->setPen(colour::kMain);
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                          QFontMetrics(bold).elidedText(convertingText(), Qt::ElideRight, textRect.width()));
    } else {
        namedImage(index.data(FileTableModel::ImageNameRole).toString()).paint(painter, stateIconRect(option.rect));
    }
    painter->restore();
}

void FileTableDelegate::paintOperations(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const
{
    paintCellBackground(painter, option, index);
    const bool previewShown = index.data(FileTableModel::PreviewShownRole).toBool();
    QPoint cursor(-1, -1);
    if (option.widget != nullptr && (option.state & QStyle::State_MouseOver)) {
        cursor = option.widget->mapFromGlobal(QCursor::pos());
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const auto drawButton = [&](const QRect& rect, const QString& name) {
        if (rect.adjusted(-3, -3, 3, 3).contains(cursor)) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(QColor(colour::kMain.red(), colour::kMain.green(), colour::kMain.blue(), 36));
            painter->drawRoundedRect(QRectF(rect.adjusted(-3, -3, 3, 3)), 4, 4);
        }
        namedImage(name).paint(painter, rect);
    };
    if (previewShown) {
        drawButton(previewButtonRect(option.rect), image::kPreBt);
    }
    drawButton(deleteButtonRect(option.rect, previewShown), image::kDeleteBt);
    painter->restore();
}

QSize FileTableDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(24);
    return size;
}

FileTableDelegate::Button FileTableDelegate::buttonAt(const QRect& cell, const QModelIndex& index,
                                                      const QPoint& position)
{
    if (index.column() != FileTableModel::DeleteColumn) {
        return Button::None;
    }
    const bool previewShown = index.data(FileTableModel::PreviewShownRole).toBool();
    if (previewShown && previewButtonRect(cell).contains(position)) {
        return Button::Preview;
    }
    if (deleteButtonRect(cell, previewShown).contains(position)) {
        return Button::Delete;
    }
    return Button::None;
}

bool FileTableDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                    const QModelIndex& index)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const Button button = mouse->button() == Qt::LeftButton
                                  ? buttonAt(option.rect, index, mouse->position().toPoint())
                                  : Button::None;
        mPressedIndex = button != Button::None ? QPersistentModelIndex(index) : QPersistentModelIndex();
        mPressedButton = button;
        return button != Button::None;
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const Button pressed = mPressedButton;
        const bool sameCell = mPressedIndex.isValid() && mPressedIndex == index;
        mPressedButton = Button::None;
        mPressedIndex = QPersistentModelIndex();
        if (pressed == Button::None || !sameCell || mouse->button() != Qt::LeftButton ||
            buttonAt(option.rect, index, mouse->position().toPoint()) != pressed) {
            return pressed != Button::None;
        }
        if (pressed == Button::Preview) {
            emit PreButtonEvent(index.row());
        } else {
            emit DeleteBtEvent(index.row());
        }
        return true;
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

bool FileTableDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                  const QModelIndex& index)
{
    if (event->type() == QEvent::ToolTip && index.column() == FileTableModel::DeleteColumn) {
        switch (buttonAt(option.rect, index, event->pos())) {
        case Button::Preview:
            QToolTip::showText(event->globalPos(), QCoreApplication::translate("FileTable", "预览"), view);
            return true;
        case Button::Delete:
            QToolTip::showText(event->globalPos(), QCoreApplication::translate("FileTable", "删除"), view);
            return true;
        case Button::None: break;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

}  // namespace ambrel::app
