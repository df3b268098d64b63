// The window's controls: how they are built, laid out, named and connected,
// and how they look when idle.
#include <QtCore/QCoreApplication>
#include <QtGui/QAction>
#include <QtGui/QPainter>
#include <QtGui/QShortcut>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTableView>
#include <QtWidgets/QVBoxLayout>

#include "app/custom_controls.h"
#include "app/drag_drop_view.h"
#include "app/images.h"
#include "app/view_controller.h"

namespace ambrel::app {

namespace {

// A label of the options panel; a softer grey than the text in a light palette.
QLabel* optionLabel(QWidget* options, const QString& text)
{
    auto* l = new QLabel(text, options);
    if (isLightAppearance(options->palette())) {
        l->setStyleSheet(QStringLiteral("color: rgb(80, 80, 90);"));
    }
    return l;
}

// The window's own colours. The light-palette part paints the list and the
// options panel; under a dark palette they take the palette's colours.
const char* const kStyleSheet = R"(
#Banner QLabel { background: transparent; }
QPushButton#AmbrelBt {
    background-color: rgb(110, 57, 192);
    border: none;
    border-radius: 8px;
    padding: 0 22px;
    font-size: 15pt;
    font-weight: bold;
}
QPushButton#AmbrelBt:hover { background-color: rgb(124, 72, 206); }
QPushButton#AmbrelBt:pressed { background-color: rgb(92, 45, 166); }
QPushButton#AddFileBt, QPushButton#OpenPathBt {
    border: none;
    background: transparent;
    padding: 2px 6px;
}
QPushButton#AddFileBt:hover, QPushButton#OpenPathBt:hover { text-decoration: underline; }
QPushButton#AddHeicFileBt {
    border: none;
    background: transparent;
    font-size: 13pt;
}
QTableView#TableView {
    border: 1px solid rgb(214, 214, 214);
    border-radius: 4px;
    gridline-color: transparent;
}
)";
const char* const kLightStyleSheet = R"(
#OptionsPanel { background-color: #f7f6fb; }
QTableView#TableView {
    selection-background-color: rgb(232, 224, 247);
    selection-color: black;
    alternate-background-color: rgb(248, 246, 252);
    background-color: white;
}
)";

}  // namespace

void ViewController::buildInterface()
{
    QString styleSheet = QString::fromUtf8(kStyleSheet);
    if (isLightAppearance(palette())) {
        styleSheet += QString::fromUtf8(kLightStyleSheet);
    }
    setStyleSheet(styleSheet);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(buildBanner());
    root->addWidget(buildListArea(), 1);
    auto* line = new ColorView(ColorView::Fill::Gray, this);
    line->setFixedHeight(1);
    root->addWidget(line);
    root->addWidget(buildOptionsPanel());
    nameControls();
    connectActions();
}

// The names a screen reader says for the controls that show no text of their own.
void ViewController::nameControls()
{
    mTableView->setAccessibleName(QCoreApplication::translate("ViewController", "文件列表"));
    mOutFormat->setAccessibleName(QCoreApplication::translate("ViewController", "输出格式"));
    mImageSize->setAccessibleName(QCoreApplication::translate("ViewController", "缩放比例"));
    mImageQuality->setAccessibleName(QCoreApplication::translate("ViewController", "图片质量"));
    mShowPath->setAccessibleName(QCoreApplication::translate("ViewController", "输出文件夹"));
    mProgressBar->setAccessibleName(QCoreApplication::translate("ViewController", "转换进度"));
    mMaxSide->setAccessibleName(QCoreApplication::translate("ViewController", "最长边"));
    // The spin box's text field speaks for it.
    if (auto* field = mMaxSide->findChild<QLineEdit*>()) {
        field->setAccessibleName(mMaxSide->accessibleName());
    }
    mNameChoice->setAccessibleName(QCoreApplication::translate("ViewController", "文件名"));
    mNameSuffix->setAccessibleName(QCoreApplication::translate("ViewController", "文件名后缀"));
    mExistingChoice->setAccessibleName(QCoreApplication::translate("ViewController", "同名文件"));
}

// The banner: the icon, the name and the formats.
QWidget* ViewController::buildBanner()
{
    auto* banner = new ColorView(ColorView::Fill::MainInLightAppearance, this);
    banner->setObjectName(QStringLiteral("Banner"));
    banner->setFixedHeight(64);
    auto* bannerLayout = new QHBoxLayout(banner);
    bannerLayout->setContentsMargins(24, 0, 24, 0);
    auto* logo = new QLabel(banner);
    logo->setPixmap(applicationIcon().pixmap(40, 40));
    auto* title = new QLabel(QStringLiteral("Ambrel"), banner);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.7);
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("color: white;"));
    auto* subtitle = new QLabel(
        QCoreApplication::translate("ViewController", "HEIC 图片转换 · JPG  PNG  BMP  JPEG2000  TIFF  WEBP"), banner);
    subtitle->setStyleSheet(QStringLiteral("color: rgb(226, 214, 247);"));
    bannerLayout->addWidget(logo);
    bannerLayout->addSpacing(8);
    bannerLayout->addWidget(title);
    bannerLayout->addSpacing(14);
    bannerLayout->addWidget(subtitle, 1);
    return banner;
}

// The list: the drop view with the table, and the big add button over the
// table while it is empty.
QWidget* ViewController::buildListArea()
{
    mDropView = new DragDropView(this);
    mDropView->setObjectName(QStringLiteral("DropView"));
    auto* dropLayout = new QGridLayout(mDropView);
    dropLayout->setContentsMargins(20, 16, 20, 8);
    dropLayout->setVerticalSpacing(6);

    buildTableView(*dropLayout);
    buildEmptyListHint(*dropLayout);
    buildListLinks(*dropLayout);
    return mDropView;
}

void ViewController::buildTableView(QGridLayout& dropLayout)
{
    mTableView = new QTableView(mDropView);
    mTableView->setObjectName(QStringLiteral("TableView"));
    mTableView->setHorizontalHeader(new TableHeaderWhiteView(mTableView));
    mTableView->verticalHeader()->hide();
    mTableView->verticalHeader()->setDefaultSectionSize(24);
    mTableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    mTableView->setShowGrid(false);
    mTableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Rows are chosen with the mouse or the keyboard (arrows, Shift, Ctrl+A);
    // Delete removes them and Enter previews the current one.
    mTableView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    mTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mTableView->setWordWrap(false);
    mTableView->setTextElideMode(Qt::ElideMiddle);
    mTableView->setIconSize(QSize(20, 20));
    mTableView->setFocusPolicy(Qt::StrongFocus);
    mTableView->setTabKeyNavigation(false);
    mTableView->installEventFilter(this);
    dropLayout.addWidget(mTableView, 0, 0, 1, 4);
}

// The big add button with its hint, over the table while the list is empty.
void ViewController::buildEmptyListHint(QGridLayout& dropLayout)
{
    auto* emptyHint = new QWidget(mDropView);
    auto* emptyLayout = new QVBoxLayout(emptyHint);
    emptyLayout->setSpacing(4);
    mAddHeicFileBt = new QPushButton(namedImage(image::kAddHeic),
                                     QCoreApplication::translate("ViewController", "添加 HEIC 文件"), emptyHint);
    mAddHeicFileBt->setObjectName(QStringLiteral("AddHeicFileBt"));
    mAddHeicFileBt->setIconSize(QSize(72, 72));
    mAddHeicFileBt->setCursor(Qt::PointingHandCursor);
    mAddHeicHint = new QLabel(QCoreApplication::translate("ViewController", "也可以把 HEIC 文件拖放到这里"), emptyHint);
    mAddHeicHint->setAlignment(Qt::AlignCenter);
    mAddHeicHint->setStyleSheet(QStringLiteral("color: rgb(160, 160, 168);"));
    emptyLayout->addWidget(mAddHeicFileBt, 0, Qt::AlignHCenter);
    emptyLayout->addWidget(mAddHeicHint, 0, Qt::AlignHCenter);
    dropLayout.addWidget(emptyHint, 0, 0, 1, 4, Qt::AlignCenter);
}

// The add link, the list's counts (or the selected row's details) and the
// remove-all link under the table.
void ViewController::buildListLinks(QGridLayout& dropLayout)
{
    mAddFileBt = new QPushButton(QCoreApplication::translate("ViewController", "＋ 添加文件"), mDropView);
    mAddFileBt->setObjectName(QStringLiteral("AddFileBt"));
    mAddFileBt->setCursor(Qt::PointingHandCursor);
    mAddFileBt->setToolTip(QKeySequence(QKeySequence::Open).toString(QKeySequence::NativeText));
    mRemoveAllBt = new LLButton(mDropView);
    mRemoveAllBt->setObjectName(QStringLiteral("RemoveAllBt"));
    mRemoveAllBt->setMinimumWidth(72);
    mFailedOnly = new QCheckBox(QCoreApplication::translate("ViewController", "只显示失败的文件"), mDropView);
    mFailedOnly->setObjectName(QStringLiteral("FailedOnly"));
    connect(mFailedOnly, &QCheckBox::toggled, this, &ViewController::filterRows);
    mStatusText = new QLabel(mDropView);
    mStatusText->setObjectName(QStringLiteral("StatusText"));
    mStatusText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mStatusText->setFocusPolicy(Qt::NoFocus);
    mStatusText->setMinimumWidth(40);
    mStatusText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    dropLayout.addWidget(mAddFileBt, 1, 0, Qt::AlignLeft);
    dropLayout.addWidget(mStatusText, 1, 1);
    dropLayout.setColumnStretch(1, 1);
    dropLayout.addWidget(mFailedOnly, 1, 2, Qt::AlignRight);
    dropLayout.addWidget(mRemoveAllBt, 1, 3, Qt::AlignRight);
}

// The options: four rows of choices beside the start button.
QWidget* ViewController::buildOptionsPanel()
{
    auto* options = new QWidget(this);
    options->setObjectName(QStringLiteral("OptionsPanel"));
    options->setAttribute(Qt::WA_StyledBackground);
    auto* grid = new QGridLayout(options);
    grid->setContentsMargins(20, 12, 20, 14);
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(8);

    mOutFormat = new QComboBox(options);
    mOutFormat->setObjectName(QStringLiteral("OutFormat"));
    mImageSize = new QComboBox(options);
    mImageSize->setObjectName(QStringLiteral("ImageSize"));
    mImageQuality = new QComboBox(options);
    mImageQuality->setObjectName(QStringLiteral("ImageQuality"));
    mImageQuality->setToolTip(
        QCoreApplication::translate("ViewController", "JPG、JPEG2000 和 WEBP 的质量；PNG、BMP 和 TIFF 总是无损的"));
    mExifBox = new QCheckBox(QStringLiteral("Exif"), options);
    mExifBox->setObjectName(QStringLiteral("Exif"));
    mExifBox->setToolTip(
        QCoreApplication::translate("ViewController", "保留照片的 Exif 信息（不勾选时按照片方向旋转图像）"));
    mAllImagesBox = new QCheckBox(QCoreApplication::translate("ViewController", "全部图像"), options);
    mAllImagesBox->setObjectName(QStringLiteral("AllImages"));
    mAllImagesBox->setToolTip(QCoreApplication::translate(
        "ViewController",
        "同时写出文件中的其他图像、深度图、增益图和图像序列的每一帧（文件名后加 _2、_depth、"
        "_gainmap、_f0001 等）；含有这些内容的文件在列表中有标记"));
    mKeepHdr = new QCheckBox(QCoreApplication::translate("ViewController", "保留 HDR"), options);
    mKeepHdr->setObjectName(QStringLiteral("KeepHdr"));
    mKeepHdr->setToolTip(QCoreApplication::translate(
        "ViewController", "照片带有 HDR 增益图时，JPG 一并保存它，在 HDR 屏幕上以 HDR 显示；其他格式只写出普通图像"));
    for (QComboBox* box : {mOutFormat, mImageSize, mImageQuality}) {
        box->setMinimumWidth(96);
    }

    grid->addLayout(buildFormatRow(options), 0, 0);
    grid->addLayout(buildChoicesRow(options), 1, 0);
    grid->addLayout(buildNameRow(options), 2, 0);
    grid->addLayout(buildSaveRow(options), 3, 0);

    mAmbrelBt = new QPushButton(options);
    mAmbrelBt->setObjectName(QStringLiteral("AmbrelBt"));
    mAmbrelBt->setIconSize(QSize(24, 24));
    mAmbrelBt->setMinimumSize(164, 64);
    mAmbrelBt->setCursor(Qt::PointingHandCursor);
    grid->addWidget(mAmbrelBt, 0, 1, 4, 1, Qt::AlignRight | Qt::AlignVCenter);
    grid->setColumnStretch(0, 1);

    // The job's progress, under the options while a job runs.
    auto* progressRow = new QHBoxLayout;
    progressRow->setSpacing(10);
    mProgressBar = new QProgressBar(options);
    mProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    mProgressBar->setTextVisible(false);
    mProgressBar->setMaximumHeight(10);
    mProgressText = new QLabel(options);
    mProgressText->setObjectName(QStringLiteral("ProgressText"));
    progressRow->addWidget(mProgressBar, 1);
    progressRow->addWidget(mProgressText);
    grid->addLayout(progressRow, 4, 0, 1, 2);
    mProgressBar->hide();
    mProgressText->hide();
    return options;
}

// Format, scale and quality, each list with its label, and the HDR box that
// belongs to the format.
QHBoxLayout* ViewController::buildFormatRow(QWidget* options)
{
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "输出格式")));
    row->addWidget(mOutFormat);
    row->addSpacing(12);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "缩放比例")));
    row->addWidget(mImageSize);
    row->addSpacing(12);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "图片质量")));
    row->addWidget(mImageQuality);
    row->addSpacing(12);
    row->addWidget(mKeepHdr);
    row->addStretch(1);
    return row;
}

// The longest side and the boxes: EXIF, 16 bits, dates, every image, subfolders.
QHBoxLayout* ViewController::buildChoicesRow(QWidget* options)
{
    mMaxSide = new QSpinBox(options);
    mMaxSide->setObjectName(QStringLiteral("MaxSide"));
    mMaxSide->setRange(0, 65535);
    mMaxSide->setSingleStep(256);
    mMaxSide->setSpecialValueText(QCoreApplication::translate("ViewController", "不限"));
    mMaxSide->setSuffix(QCoreApplication::translate("ViewController", " 像素"));
    mMaxSide->setToolTip(QCoreApplication::translate("ViewController", "输出图片较长一边的最大像素数；只缩小，不放大"));
    mDepth16 = new QCheckBox(QCoreApplication::translate("ViewController", "16 位"), options);
    mDepth16->setObjectName(QStringLiteral("Depth16"));
    mDepth16->setToolTip(QCoreApplication::translate("ViewController", "PNG 和 TIFF 每个颜色通道 16 位"));
    mKeepDates = new QCheckBox(QCoreApplication::translate("ViewController", "保留日期"), options);
    mKeepDates->setObjectName(QStringLiteral("KeepDates"));
    mKeepDates->setToolTip(QCoreApplication::translate("ViewController", "输出文件的修改时间与原文件相同"));
    mSubfolders = new QCheckBox(QCoreApplication::translate("ViewController", "包括子文件夹"), options);
    mSubfolders->setObjectName(QStringLiteral("Subfolders"));
    mSubfolders->setToolTip(QCoreApplication::translate(
        "ViewController", "添加文件夹时也添加其子文件夹中的文件，并在输出文件夹中保持相同的结构"));

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "最长边")));
    row->addWidget(mMaxSide);
    row->addSpacing(12);
    row->addWidget(mExifBox);
    row->addWidget(mDepth16);
    row->addWidget(mKeepDates);
    row->addWidget(mAllImagesBox);
    row->addWidget(mSubfolders);
    row->addStretch(1);
    return row;
}

// How outputs are named, and what happens when the name is taken.
QHBoxLayout* ViewController::buildNameRow(QWidget* options)
{
    mNameChoice = new QComboBox(options);
    mNameChoice->setObjectName(QStringLiteral("NameChoice"));
    mNameChoice->addItems({QCoreApplication::translate("ViewController", "原文件名_转换时间"),
                           QCoreApplication::translate("ViewController", "原文件名"),
                           QCoreApplication::translate("ViewController", "原文件名加后缀")});
    mNameChoice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    mNameSuffix = new QLineEdit(options);
    mNameSuffix->setObjectName(QStringLiteral("NameSuffix"));
    mNameSuffix->setPlaceholderText(QCoreApplication::translate("ViewController", "后缀"));
    mNameSuffix->setMaxLength(64);
    mNameSuffix->setMinimumWidth(70);
    mNameSuffix->setMaximumWidth(140);
    mExistingChoice = new QComboBox(options);
    mExistingChoice->setObjectName(QStringLiteral("ExistingChoice"));
    mExistingChoice->addItems({QCoreApplication::translate("ViewController", "另起新名"),
                               QCoreApplication::translate("ViewController", "跳过"),
                               QCoreApplication::translate("ViewController", "替换")});
    mExistingChoice->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    mExistingChoice->setToolTip(QCoreApplication::translate(
        "ViewController", "输出文件名已存在时：另起新名（_2、_3…）、跳过这张图片，或替换已有的文件"));

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "文件名")));
    row->addWidget(mNameChoice);
    row->addWidget(mNameSuffix, 1);
    row->addSpacing(12);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "同名文件")));
    row->addWidget(mExistingChoice);
    row->addStretch(1);
    return row;
}

// The save mode, the output folder and its buttons.
QHBoxLayout* ViewController::buildSaveRow(QWidget* options)
{
    mSaveHEICPath = new QRadioButton(QCoreApplication::translate("ViewController", "保存到原文件夹"), options);
    mSaveHEICPath->setObjectName(QStringLiteral("SaveHEICPath"));
    mSaveCustomPath = new QRadioButton(QCoreApplication::translate("ViewController", "保存到"), options);
    mSaveCustomPath->setObjectName(QStringLiteral("SaveCustomPath"));
    // The two are set together by their actions, never by each other.
    mSaveHEICPath->setAutoExclusive(false);
    mSaveCustomPath->setAutoExclusive(false);
    mShowPath = new QLineEdit(options);
    mShowPath->setObjectName(QStringLiteral("ShowPath"));
    mShowPath->setMinimumWidth(140);
    mSelectPathBt = new QPushButton(QCoreApplication::translate("ViewController", "选择…"), options);
    mSelectPathBt->setObjectName(QStringLiteral("SelectPathBt"));
    mOpenPathBt = new QPushButton(QCoreApplication::translate("ViewController", "打开文件夹"), options);
    mOpenPathBt->setObjectName(QStringLiteral("OpenPathBt"));
    mOpenPathBt->setCursor(Qt::PointingHandCursor);

    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "保存位置")));
    row->addWidget(mSaveHEICPath);
    row->addSpacing(4);
    row->addWidget(mSaveCustomPath);
    row->addWidget(mShowPath, 1);
    row->addWidget(mSelectPathBt);
    row->addWidget(mOpenPathBt);
    return row;
}

// The actions of the buttons.
void ViewController::connectActions()
{
    connect(mAmbrelBt, &QPushButton::clicked, this, &ViewController::AmbrelBtEvent);
    connect(mAddHeicFileBt, &QPushButton::clicked, this, [this] { AddHeicFileBtEvent(mAddHeicFileBt); });
    connect(mAddFileBt, &QPushButton::clicked, this, [this] { AddHeicFileBtEvent(mAddFileBt); });
    connect(mRemoveAllBt, &QPushButton::clicked, this, &ViewController::RemoverAllBtEvent);
    connect(mSaveHEICPath, &QRadioButton::clicked, this, &ViewController::SaveHEICPathBTEvent);
    connect(mSaveCustomPath, &QRadioButton::clicked, this, &ViewController::SaveCustomPathBTEvent);
    connect(mSelectPathBt, &QPushButton::clicked, this, &ViewController::SelectPathBtEvent);
    connect(mOpenPathBt, &QPushButton::clicked, this, &ViewController::OpenPathBtEvent);

    // Ctrl+O adds files from anywhere in the window.
    auto* addShortcut = new QShortcut(QKeySequence::Open, this);
    connect(addShortcut, &QShortcut::activated, this, [this] {
        if (mSession->isStopTo() && !mSession->busy()) {
            AddHeicFileBtEvent(mAddFileBt);
        }
    });

    // The row's buttons as actions of the table: its context menu (also on
    // the Menu key), and what assistive tools offer for the focused row.
    auto* previewAction = new QAction(QCoreApplication::translate("ViewController", "预览"), mTableView);
    previewAction->setObjectName(QStringLiteral("PreviewRowAction"));
    previewAction->setShortcut(QKeySequence(Qt::Key_Space));
    previewAction->setShortcutContext(Qt::WidgetShortcut);
    connect(previewAction, &QAction::triggered, this, [this] {
        const int row = mTableView->currentIndex().row();
        if (row >= 0 && row < mModel->count() && !mModel->record(row).toPath.empty()) {
            PreViewEvent(row);
        }
    });
    auto* deleteAction = new QAction(QCoreApplication::translate("ViewController", "删除"), mTableView);
    deleteAction->setObjectName(QStringLiteral("DeleteRowAction"));
    connect(deleteAction, &QAction::triggered, this, &ViewController::DeleteSelectedRows);
    mTableView->addAction(previewAction);
    mTableView->addAction(deleteAction);
    mTableView->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void ViewController::setUpFileTable()
{
    // 2. The empty list, drawn by the table.
    mTableView->setModel(mModel);
    auto* delegate = new FileTableDelegate(mTableView);
    mTableView->setItemDelegate(delegate);
    connect(delegate, &FileTableDelegate::DeleteBtEvent, this, &ViewController::DeleteEvent);
    connect(delegate, &FileTableDelegate::PreButtonEvent, this, &ViewController::PreViewEvent);
    QHeaderView* header = mTableView->horizontalHeader();
    header->setSectionResizeMode(FileTableModel::NameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(FileTableModel::SizeColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FileTableModel::StateColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(FileTableModel::DeleteColumn, QHeaderView::Fixed);
    header->resizeSection(FileTableModel::SizeColumn, 100);
    header->resizeSection(FileTableModel::StateColumn, 180);
    header->resizeSection(FileTableModel::DeleteColumn, 70);
    header->setFixedHeight(28);
}

void ViewController::showIdle()
{
    // 9. Colours.
    setTextColor(mOpenPathBt, colour::kLink);
    setTextColor(mAddFileBt, colour::kLink);
    setTextColor(mRemoveAllBt, Qt::white);
    setTextColor(mAddHeicFileBt, Qt::gray);

    // 10. Idle.
    setStartButton(text::start(), image::kToBt);

    // 11. The remove-all link, hidden while the list is empty.
    mRemoveAllBt->hide();
    mRemoveAllBt->setDefaultTitle(text::removeAll());
    mRemoveAllBt->setTextUnderLineStyle(kDoubleUnderline);
    mRemoveAllBt->setDefaultTitleColor(colour::kMain);

    // 12. No alternating rows while the list is empty.
    mTableView->setAlternatingRowColors(false);
}

void ViewController::setStartButton(const QString& title, const QString& imageName)
{
    mAmbrelBt->setText(title);
    setTextColor(mAmbrelBt, Qt::white);
    setButtonImage(mAmbrelBt, imageName);
}

}  // namespace ambrel::app
