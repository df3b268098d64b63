#include "app/view_controller.h"

#include <algorithm>
#include <thread>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QPointer>
#include <QtCore/QSignalBlocker>
#include <QtCore/QStandardPaths>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtWidgets/QButtonGroup>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QTableView>
#include <QtWidgets/QVBoxLayout>

#include <algorithm>
#include <functional>

#include "app/app_log.h"
#include "app/custom_controls.h"
#include "app/drag_drop_view.h"
#include "app/images.h"
#include "app/preview_cache.h"
#include "app/services.h"
#include "app/taskbar_progress.h"
#include "app/user_info.h"
#include "convert/output_files.h"

namespace ambrel::app {

namespace {

const QStringList kFormatWords = {
    QStringLiteral("JPG"),      QStringLiteral("PNG"),  QStringLiteral("BMP"),
    QStringLiteral("JPEG2000"), QStringLiteral("TIFF"),
};

QStringList percentItems()
{
    QStringList items;
    for (int percent = 10; percent <= 100; percent += 10) {
        items.append(QStringLiteral("%1%").arg(percent));
    }
    return items;
}

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

// A duration as minutes and seconds ("1:05"), with hours when it has them.
QString durationText(qint64 milliseconds)
{
    const qint64 seconds = std::max<qint64>(0, milliseconds / 1000);
    const QChar zero(u'0');
    if (seconds >= 3600) {
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / 3600)
            .arg((seconds / 60) % 60, 2, 10, zero)
            .arg(seconds % 60, 2, 10, zero);
    }
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, zero);
}

}  // namespace

bool isUsableOutputFolder(const QString& folder)
{
    if (folder.trimmed().isEmpty()) {
        return false;
    }
    QFileInfo info(QDir::cleanPath(QDir(folder).absolutePath()));
    // A missing folder is made by the job, with its parents, inside the
    // nearest folder that exists.
    while (!info.exists()) {
        const QString parent = info.absolutePath();
        if (parent == info.absoluteFilePath()) {
            return false;
        }
        info = QFileInfo(parent);
    }
    return info.isDir() && info.isWritable();
}

ViewController::ViewController(ControllerServices services, QWidget* parent)
    : QWidget(parent), mServices(std::move(services))
{
    if (!mServices.runJob) {
        mServices.runJob = convert::runConversionJob;
    }
    if (mServices.cacheFolder.isEmpty()) {
        mServices.cacheFolder = userCacheFolder();
    }
    mRunner = std::make_unique<JobRunner>(mIsStopTo, mServices.runJob);
    connect(mRunner.get(), &JobRunner::rowConverted, this, &ViewController::onRowConverted);
    connect(mRunner.get(), &JobRunner::rowFailed, this, &ViewController::onRowFailed);
    connect(mRunner.get(), &JobRunner::rowStarted, this, &ViewController::onRowStarted);
    if (mServices.jobWorkers == 0) {
        // A 12 MP photo keeps about two cores busy (the decoder's threads and
        // the encoder's), so a second file in flight uses what is left.
        mServices.jobWorkers = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    }
    connect(mRunner.get(), &JobRunner::rowShowPreview, this, &ViewController::onRowShowPreview);
    connect(mRunner.get(), &JobRunner::jobStopped, this, &ViewController::onJobStopped);
    connect(mRunner.get(), &JobRunner::jobFinished, this, &ViewController::onJobFinished);

    setObjectName(QStringLiteral("ViewController"));
    buildInterface();
    viewDidLoad();
}

// The runner goes first: it stops and waits for its worker while the flag exists.
ViewController::~ViewController()
{
    mRunner.reset();
}

void ViewController::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), isLightAppearance(palette()) ? QColor(Qt::white) : palette().color(QPalette::Window));
}

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
        QCoreApplication::translate("ViewController", "HEIC 图片转换 · JPG  PNG  BMP  JPEG2000  TIFF"), banner);
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
    mTableView->setFocusPolicy(Qt::StrongFocus);
    mTableView->setTabKeyNavigation(false);
    mTableView->installEventFilter(this);
    dropLayout.addWidget(mTableView, 0, 0, 1, 3);
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
    dropLayout.addWidget(emptyHint, 0, 0, 1, 3, Qt::AlignCenter);
}

// The add link and the remove-all link under the table.
void ViewController::buildListLinks(QGridLayout& dropLayout)
{
    mAddFileBt = new QPushButton(QCoreApplication::translate("ViewController", "＋ 添加文件"), mDropView);
    mAddFileBt->setObjectName(QStringLiteral("AddFileBt"));
    mAddFileBt->setCursor(Qt::PointingHandCursor);
    mRemoveAllBt = new LLButton(mDropView);
    mRemoveAllBt->setObjectName(QStringLiteral("RemoveAllBt"));
    mRemoveAllBt->setMinimumWidth(72);
    dropLayout.addWidget(mAddFileBt, 1, 0, Qt::AlignLeft);
    dropLayout.setColumnStretch(1, 1);
    dropLayout.addWidget(mRemoveAllBt, 1, 2, Qt::AlignRight);
}

// The options: two rows of choices beside the start button.
QWidget* ViewController::buildOptionsPanel()
{
    auto* options = new QWidget(this);
    options->setObjectName(QStringLiteral("OptionsPanel"));
    options->setAttribute(Qt::WA_StyledBackground);
    auto* grid = new QGridLayout(options);
    grid->setContentsMargins(20, 14, 20, 16);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(12);

    mOutFormat = new QComboBox(options);
    mOutFormat->setObjectName(QStringLiteral("OutFormat"));
    mImageSize = new QComboBox(options);
    mImageSize->setObjectName(QStringLiteral("ImageSize"));
    mImageQuality = new QComboBox(options);
    mImageQuality->setObjectName(QStringLiteral("ImageQuality"));
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
    connect(mAllImagesBox, &QCheckBox::toggled, this, [this](bool checked) {
        mServices.userInfo.WriteData(checked ? QStringLiteral("1") : QStringLiteral("0"),
                                     settings_key::kWriteAllImages);
    });
    for (QComboBox* box : {mOutFormat, mImageSize, mImageQuality}) {
        box->setMinimumWidth(104);
    }

    grid->addLayout(buildFormatRow(options), 0, 0);
    grid->addLayout(buildSaveRow(options), 1, 0);

    mAmbrelBt = new QPushButton(options);
    mAmbrelBt->setObjectName(QStringLiteral("AmbrelBt"));
    mAmbrelBt->setIconSize(QSize(24, 24));
    mAmbrelBt->setMinimumSize(164, 64);
    mAmbrelBt->setCursor(Qt::PointingHandCursor);
    grid->addWidget(mAmbrelBt, 0, 1, 2, 1, Qt::AlignRight | Qt::AlignVCenter);
    grid->setColumnStretch(0, 1);
    grid->setColumnMinimumWidth(1, 190);

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
    grid->addLayout(progressRow, 2, 0, 1, 2);
    mProgressBar->hide();
    mProgressText->hide();
    mProgressTimer = new QTimer(this);
    mProgressTimer->setInterval(1000);
    connect(mProgressTimer, &QTimer::timeout, this, &ViewController::showProgress);
    return options;
}

// Format, scale, quality and "Exif", each list with its label.
QHBoxLayout* ViewController::buildFormatRow(QWidget* options)
{
    auto* firstRow = new QHBoxLayout;
    firstRow->setSpacing(8);
    firstRow->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "输出格式")));
    firstRow->addWidget(mOutFormat);
    firstRow->addSpacing(16);
    firstRow->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "缩放比例")));
    firstRow->addWidget(mImageSize);
    firstRow->addSpacing(16);
    firstRow->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "图片质量")));
    firstRow->addWidget(mImageQuality);
    firstRow->addSpacing(16);
    firstRow->addWidget(mExifBox);
    firstRow->addSpacing(8);
    firstRow->addWidget(mAllImagesBox);
    firstRow->addStretch(1);
    return firstRow;
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
    mShowPath->setMinimumWidth(220);
    mSelectPathBt = new QPushButton(QCoreApplication::translate("ViewController", "选择…"), options);
    mSelectPathBt->setObjectName(QStringLiteral("SelectPathBt"));
    mOpenPathBt = new QPushButton(QCoreApplication::translate("ViewController", "打开文件夹"), options);
    mOpenPathBt->setObjectName(QStringLiteral("OpenPathBt"));
    mOpenPathBt->setCursor(Qt::PointingHandCursor);

    auto* secondRow = new QHBoxLayout;
    secondRow->setSpacing(8);
    secondRow->addWidget(optionLabel(options, QCoreApplication::translate("ViewController", "保存位置")));
    secondRow->addWidget(mSaveHEICPath);
    secondRow->addSpacing(10);
    secondRow->addWidget(mSaveCustomPath);
    secondRow->addWidget(mShowPath, 1);
    secondRow->addWidget(mSelectPathBt);
    secondRow->addWidget(mOpenPathBt);
    return secondRow;
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
}

void ViewController::viewDidLoad()
{
    // 1. The drop view takes dropped file names and reports them here.
    mDropView->RegisterForDragged();
    connect(mDropView, &DragDropView::dragDropViewFileList, this, &ViewController::dragDropViewFileList);

    setUpFileTable();
    restoreSaveSettings();
    setUpChoices();
    showIdle();
}

void ViewController::setUpFileTable()
{
    // 2. The empty list, drawn by the table.
    mModel = new FileTableModel(this);
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

void ViewController::restoreSaveSettings()
{
    // 3. The output folder: the stored one, else the Downloads folder.
    const QString stored = mServices.userInfo.ReadData(settings_key::kSavePath);
    if (!stored.isEmpty()) {
        mShowPath->setText(stored);
    } else {
        const QStringList downloads = QStandardPaths::standardLocations(QStandardPaths::DownloadLocation);
        if (!downloads.isEmpty()) {
            mShowPath->setText(downloads.first());
        }
    }
    mShowPath->setCursorPosition(0);  // a long path shows its beginning

    // 4. The save mode.
    mSaveHeicPath = textBoolValue(mServices.userInfo.ReadData(settings_key::kSaveHeicPath));
    mSaveHEICPath->setChecked(mSaveHeicPath);
    mSaveCustomPath->setChecked(!mSaveHeicPath);
    mShowPath->setEnabled(!mSaveHeicPath);
    mSelectPathBt->setEnabled(!mSaveHeicPath);

    // Whether every image of a file is written.
    const QSignalBlocker quiet(mAllImagesBox);
    mAllImagesBox->setChecked(textBoolValue(mServices.userInfo.ReadData(settings_key::kWriteAllImages)));
}

void ViewController::setUpChoices()
{
    // 5. to 7. The choice lists; each value follows from the selected index.
    mOutFormat->addItems(kFormatWords);
    mOutFormat->setCurrentIndex(0);
    mSaveSuff = kFormatWords.first();
    mImageSize->addItems(percentItems());
    mImageSize->setCurrentIndex(9);
    mImageZooming = 1.0f;
    mImageQuality->addItems(percentItems());
    mImageQuality->setCurrentIndex(9);
    mQuality = 100;
    connect(mOutFormat, &QComboBox::currentIndexChanged, this, &ViewController::OutFormatEvent);
    connect(mImageSize, &QComboBox::currentIndexChanged, this, &ViewController::ImageSizeEvent);
    connect(mImageQuality, &QComboBox::currentIndexChanged, this, &ViewController::ImageQualityEvent);

    // 8. EXIF kept.
    mExifBox->setChecked(true);
}

void ViewController::showIdle()
{
    // 9. Colours.
    setTextColor(mOpenPathBt, colour::kLink);
    setTextColor(mAddFileBt, colour::kLink);
    setTextColor(mRemoveAllBt, Qt::white);
    setTextColor(mAddHeicFileBt, Qt::gray);

    // 10. Idle.
    mIsStopTo = true;
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

void ViewController::ToBtState(bool enabled)
{
    mOutFormat->setEnabled(enabled);
    mImageSize->setEnabled(enabled);
    mImageQuality->setEnabled(enabled);
    mExifBox->setEnabled(enabled);
    mAllImagesBox->setEnabled(enabled);
    // The folder button chooses the folder of the save-to-folder mode only.
    mSelectPathBt->setEnabled(enabled && !mSaveHeicPath);
    mAddFileBt->setEnabled(enabled);
}

void ViewController::refreshListControls()
{
    const bool empty = mModel->isEmpty();
    mAddHeicFileBt->setVisible(empty);
    mAddHeicHint->setVisible(empty);
    mRemoveAllBt->setVisible(!empty);
    mTableView->setAlternatingRowColors(!empty);
    scanNewRows();
}

void ViewController::scanNewRows()
{
    const QPointer<ViewController> self(this);
    for (int row = 0; row < mModel->count(); ++row) {
        const std::uint64_t id = mModel->rowId(row);
        if (id <= mScannedUpTo) {
            continue;
        }
        mScannedUpTo = std::max(mScannedUpTo, id);
        const std::string path = mModel->record(row).heicPath;
        QThreadPool::globalInstance()->start([self, id, path] {
            QString holds;
            try {
                QFile file(QString::fromStdString(path));
                if (file.size() <= static_cast<qint64>(convert::kMaxSourceBytes) && file.open(QIODevice::ReadOnly)) {
                    const QByteArray bytes = file.readAll();
                    holds = holdsText(pipeline::listImages(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                           static_cast<std::size_t>(bytes.size())));
                }
            } catch (...) {
                // Not readable as HEIF: the conversion will say why.
            }
            if (holds.isEmpty()) {
                return;
            }
            QMetaObject::invokeMethod(
                qApp,
                [self, id, holds] {
                    if (self != nullptr) {
                        self->mModel->setHolds(id, holds);
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

// --- the job ---

void ViewController::AmbrelBtEvent()
{
    if (mModel->isEmpty()) {
        mServices.dialogs.runAlert(this, Alert{text::tip(), text::addFilesFirst(), {text::ok()}});
        return;
    }
    if (!mIsStopTo) {
        // Running: request the stop; the worker sees it before its next row.
        mIsStopTo = true;
        mAmbrelBt->setText(text::stopping());
        setTextColor(mAmbrelBt, Qt::white);
        return;
    }
    if (mRunner->busy()) {
        // The stopped worker is still finishing its file; one worker at a time.
        appLog(QStringLiteral("start ignored: the stopped job is still finishing its file"));
        return;
    }

    if (!mSaveHeicPath && !isUsableOutputFolder(mShowPath->text())) {
        // Said now rather than as a failure of every row after its decoding.
        mServices.dialogs.runAlert(this,
                                   Alert{text::tip(), text::unusableFolder(mShowPath->text()), {text::ok()}, true});
        return;
    }

    setStartButton(text::stop(), image::kStopBt);
    mModel->clearResults();
    mIsStopTo = false;
    mSavePath = mSaveHeicPath ? std::nullopt : std::optional<QString>(mShowPath->text());
    mExif = mExifBox->isChecked();
    ToBtState(false);

    convert::JobDescription job;
    job.options.format = convert::parseFormatWord(mSaveSuff.toStdString()).value_or(convert::OutputFormat::Jpg);
    job.options.scale = mImageZooming;
    job.options.quality = mQuality;
    job.options.keepExif = mExif;
    if (mSavePath) {
        job.options.outputFolder = mSavePath->toStdString();
    }
    job.options.workers = mServices.jobWorkers;
    const bool allImages = mAllImagesBox->isChecked();
    job.options.auxiliary = allImages;
    job.options.allImages = allImages;
    job.options.frames = allImages;
    // Large outputs keep a screen-sized copy, so that their preview opens at once.
    const QScreen* shown = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    const QSize bound = shown != nullptr ? shown->availableSize() * shown->devicePixelRatio() : QSize(1920, 1080);
    job.options.previewSide = static_cast<std::uint32_t>(std::max({bound.width(), bound.height(), 640}));
    job.options.previewMinPixels = job.options.format == convert::OutputFormat::Jpg ? kQuickJpegPixels : 0;
    job.records = mModel->records();
    mJobRowIds = mModel->rowIds();
    if (!mRunner->start(std::move(job))) {
        mIsStopTo = true;
        setStartButton(text::start(), image::kToBt);
        ToBtState(true);
        return;
    }
    mJobDone = 0;
    mJobFailed = 0;
    mJobClock.start();
    mProgressBar->setRange(0, static_cast<int>(mJobRowIds.size()));
    mProgressBar->show();
    mProgressText->show();
    showProgress();
    mProgressTimer->start();
}

void ViewController::rowDone(int jobRow)
{
    ++mJobDone;
    mModel->setConverting(rowOfJobRow(jobRow), false);
    showProgress();
}

void ViewController::showProgress()
{
    const int total = static_cast<int>(mJobRowIds.size());
    const qint64 elapsed = mJobClock.isValid() ? mJobClock.elapsed() : 0;
    mProgressBar->setValue(std::min(mJobDone, total));
    if (mServices.taskbar != nullptr) {
        mServices.taskbar->setProgress(std::min(mJobDone, total), total);
    }
    if (mJobDone > 0 && mJobDone < total) {
        const qint64 remaining = elapsed * (total - mJobDone) / mJobDone;
        mProgressText->setText(
            text::progressWithEstimate(mJobDone, total, durationText(elapsed), durationText(remaining)));
    } else {
        mProgressText->setText(text::progress(mJobDone, total, durationText(elapsed)));
    }
}

void ViewController::endProgress()
{
    mProgressTimer->stop();
    if (mServices.taskbar != nullptr) {
        mServices.taskbar->clear();
    }
    mModel->clearConverting();
    mProgressBar->hide();
    mProgressText->hide();
}

int ViewController::rowOfJobRow(int jobRow) const
{
    if (jobRow < 0 || static_cast<std::size_t>(jobRow) >= mJobRowIds.size()) {
        return -1;
    }
    return mModel->rowOfId(mJobRowIds[static_cast<std::size_t>(jobRow)]);
}

void ViewController::onRowConverted(int jobRow, const QString& outputPath)
{
    mModel->setConverted(rowOfJobRow(jobRow), outputPath);
    rowDone(jobRow);
}

void ViewController::onRowStarted(int jobRow)
{
    mModel->setConverting(rowOfJobRow(jobRow), true);
}

void ViewController::onRowFailed(int jobRow, const QString& text, const QString& detail)
{
    mModel->setFailed(rowOfJobRow(jobRow), text, detail);
    ++mJobFailed;
    rowDone(jobRow);
}

void ViewController::onRowShowPreview(int jobRow)
{
    mModel->showPreview(rowOfJobRow(jobRow));
}

void ViewController::onJobStopped()
{
    endProgress();
    setStartButton(text::start(), image::kToBt);
    ToBtState(true);
    emit jobEnded(false, 0);
    if (mCloseWhenEnded) {
        emit readyToClose();
    }
}

void ViewController::onJobFinished(int converted)
{
    mIsStopTo = true;
    endProgress();
    setStartButton(text::start(), image::kToBt);
    ToBtState(true);
    if (mCloseWhenEnded) {
        // Quitting: the summary would only hold the window open.
        emit jobEnded(true, converted);
        emit readyToClose();
        return;
    }
    Alert summary{text::tip(), text::summary(converted), {text::ok()}};
    if (mJobFailed > 0) {
        summary.informativeText += '\n' + text::failedSummary(mJobFailed);
        summary.warning = true;
    }
    mServices.dialogs.showSheetAlert(this, summary);
    emit jobEnded(true, converted);
}

bool ViewController::windowShouldClose()
{
    if (!mRunner->busy()) {
        return true;
    }
    if (mCloseWhenEnded) {
        return false;  // the stop was asked for; the window closes when the worker ends
    }
    if (mIsStopTo) {
        // Stopping already: close as soon as the file in progress is done.
        mCloseWhenEnded = true;
        return false;
    }
    const int answer = mServices.dialogs.runAlert(
        this, Alert{text::tip(), text::quitDuringJob(), {text::stopAndQuit(), text::keepConverting()}, true});
    if (answer != 0 || !mRunner->busy()) {
        return !mRunner->busy();
    }
    mCloseWhenEnded = true;
    mIsStopTo = true;
    mAmbrelBt->setText(text::stopping());
    setTextColor(mAmbrelBt, Qt::white);
    return false;
}

// --- the list ---

void ViewController::AddHeicPath(const QString& path)
{
    const std::string name = path.toStdString();
    // HEIF files by any of their names (cameras write .HIF), and whatever
    // reads as HEIC once upper-cased.
    if (!convert::isHeifFileName(name) && !convert::hasHeicName(name)) {
        return;
    }
    if (mModel->contains(path)) {
        appLog(QString::fromStdString(convert::duplicateLogLine(name)));
        return;
    }
    mModel->append(convert::makeRecord(name));
}

void ViewController::addChosenItem(const QString& path, bool anyName)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return;
    }
    if (info.isDir()) {
        for (const std::string& entry : convert::folderFiles(path.toStdString(), false)) {
            AddHeicPath(QString::fromStdString(entry));
        }
    } else if (anyName && !mModel->contains(path)) {
        mModel->append(convert::makeRecord(path.toStdString()));
    } else {
        AddHeicPath(path);
    }
}

void ViewController::AddHeicFileBtEvent(QWidget* anchor)
{
    const QStringList chosen = mServices.dialogs.openHeicPanel(anchor != nullptr ? anchor : mAddFileBt);
    for (const QString& path : chosen) {
        addChosenItem(path, false);
    }
    refreshListControls();
}

void ViewController::addGivenPaths(const QStringList& paths)
{
    if (!mIsStopTo) {
        return;
    }
    for (const QString& path : paths) {
        addChosenItem(QFileInfo(path).absoluteFilePath(), true);
    }
    refreshListControls();
}

void ViewController::dragDropViewFileList(const QStringList& paths)
{
    if (!mIsStopTo) {
        return;  // the list stays as the running job took it
    }
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            // A dropped folder gives its HEIF files, its subfolders' too.
            for (const std::string& entry : convert::folderFiles(path.toStdString(), true)) {
                AddHeicPath(QString::fromStdString(entry));
            }
        } else {
            AddHeicPath(path);
        }
    }
    refreshListControls();
}

void ViewController::DeleteEvent(int row)
{
    if (!mIsStopTo) {
        mServices.dialogs.runAlert(this, Alert{text::tip(), text::cannotDelete(), {text::ok()}});
        return;
    }
    mModel->removeRecord(row);
    refreshListControls();
}

void ViewController::DeleteSelectedRows()
{
    std::vector<int> rows;
    for (const QModelIndex& index : mTableView->selectionModel()->selectedRows()) {
        rows.push_back(index.row());
    }
    if (rows.empty() && mTableView->currentIndex().isValid()) {
        rows.push_back(mTableView->currentIndex().row());
    }
    if (rows.empty()) {
        return;
    }
    if (!mIsStopTo) {
        mServices.dialogs.runAlert(this, Alert{text::tip(), text::cannotDelete(), {text::ok()}});
        return;
    }
    // From the last, so the numbers of the rows still to go stay valid.
    std::sort(rows.begin(), rows.end(), std::greater<>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    for (int row : rows) {
        mModel->removeRecord(row);
    }
    refreshListControls();
}

bool ViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mTableView && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            switch (key->key()) {
            case Qt::Key_Delete:
            case Qt::Key_Backspace: DeleteSelectedRows(); return true;
            case Qt::Key_Return:
            case Qt::Key_Enter: {
                const int row = mTableView->currentIndex().row();
                if (row >= 0 && row < mModel->count() && !mModel->record(row).toPath.empty()) {
                    PreViewEvent(row);
                }
                return true;
            }
            default: break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ViewController::RemoverAllBtEvent()
{
    if (!mIsStopTo) {
        mServices.dialogs.runAlert(this, Alert{text::tip(), text::cannotDelete(), {text::ok()}});
        return;
    }
    if (mModel->isEmpty()) {
        return;
    }
    const int answer =
        mServices.dialogs.runAlert(this, Alert{text::tip(), text::clearList(), {text::clearNow(), text::cancel()}});
    if (answer == 0) {
        mModel->removeAll();
    }
    refreshListControls();
}

// --- the options ---

void ViewController::OutFormatEvent(int index)
{
    if (index >= 0 && index < kFormatWords.size()) {
        mSaveSuff = kFormatWords[index];
    }
}

void ViewController::ImageSizeEvent(int index)
{
    if (index >= 0) {
        mImageZooming = static_cast<float>(index + 1) / 10.0f;
    }
}

void ViewController::ImageQualityEvent(int index)
{
    if (index >= 0) {
        mQuality = index * 10 + 10;
    }
}

void ViewController::SaveHEICPathBTEvent()
{
    mSaveHeicPath = true;
    mSaveHEICPath->setChecked(true);
    mSaveCustomPath->setChecked(false);
    mShowPath->setEnabled(false);
    mSelectPathBt->setEnabled(false);
    mServices.userInfo.WriteData(QStringLiteral("1"), settings_key::kSaveHeicPath);
}

void ViewController::SaveCustomPathBTEvent()
{
    mSaveHeicPath = false;
    mSaveHEICPath->setChecked(false);
    mSaveCustomPath->setChecked(true);
    mShowPath->setEnabled(true);
    // During a job the folder stays as the job took it.
    mSelectPathBt->setEnabled(mIsStopTo && !mRunner->busy());
    mServices.userInfo.WriteData(QStringLiteral("0"), settings_key::kSaveHeicPath);
}

void ViewController::SelectPathBtEvent()
{
    const auto folder = mServices.dialogs.chooseFolder(this, mShowPath->text());
    if (!folder) {
        return;
    }
    mShowPath->setText(*folder);
    mShowPath->setCursorPosition(0);
    mServices.userInfo.WriteData(*folder, settings_key::kSavePath);
}

void ViewController::OpenPathBtEvent()
{
    mServices.desktop.openUrl(QUrl::fromLocalFile(mShowPath->text()));
}

void ViewController::PreViewEvent(int row)
{
    if (row < 0 || row >= mModel->count()) {
        return;
    }
    mServices.preview.previewFile(QUrl::fromLocalFile(QString::fromStdString(mModel->record(row).toPath)));
}

}  // namespace ambrel::app
