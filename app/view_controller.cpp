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
#include <QtGui/QAction>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtGui/QShortcut>
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
#include <QtWidgets/QSpinBox>
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
#include "heiclib/reader/hevc_image_file_reader.h"

#include <sstream>

namespace ambrel::app {

namespace {

const QStringList kFormatWords = {
    QStringLiteral("JPG"),      QStringLiteral("PNG"),  QStringLiteral("BMP"),
    QStringLiteral("JPEG2000"), QStringLiteral("TIFF"), QStringLiteral("WEBP"),
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

// The side of the thumbnails before the names in the list.
constexpr std::uint32_t kThumbnailSide = 40;

// The picture of the thumbnail image a file stores for its primary image
// (phones store one), its longer side at most `side` pixels; null when the
// file has none. Only the thumbnail is decoded, so a long list fills at once.
QImage storedThumbnail(const QByteArray& bytes, std::uint32_t side)
{
    std::istringstream input(bytes.toStdString());
    heif::HevcImageFileReader reader;
    reader.initialize(input);
    const heif::ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    heif::IdVector thumbnails;
    reader.getReferencedToItemListByType(context, reader.getCoverImageItemId(context), heif::FourCCInt("thmb"),
                                         thumbnails);
    if (thumbnails.empty()) {
        return {};
    }
    pipeline::ConversionSettings settings;
    settings.format = pipeline::OutputFormat::Bmp;
    settings.keepExif = false;  // turned upright
    settings.maxSide = side;
    settings.itemId = thumbnails.front();
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const pipeline::ConvertedFile file = pipeline::convertHeif(data, static_cast<std::size_t>(bytes.size()), settings);
    if (!file.ok) {
        return {};
    }
    return QImage::fromData(file.bytes.data(), static_cast<int>(file.bytes.size()), "BMP");
}

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

QString outputStem(const QString& sourcePath, NameChoice choice, const QString& suffix)
{
    QString stem = QString::fromStdString(convert::stemOf(sourcePath.toStdString()));
    if (choice == NameChoice::OriginalWithSuffix) {
        for (const QChar c : suffix) {
            if (c != u'/' && c.category() != QChar::Other_Control) {
                stem += c;
            }
        }
    }
    return stem;
}

namespace {

const QStringList kNamingWords = {QStringLiteral("time"), QStringLiteral("original"), QStringLiteral("suffix")};
const QStringList kExistingWords = {QStringLiteral("new"), QStringLiteral("skip"), QStringLiteral("replace")};

QString boolText(bool value)
{
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// A stored percent ("10" to "100" in steps of 10) as the index of its item; -1 for anything else.
int percentIndex(const QString& stored)
{
    bool ok = false;
    const int percent = stored.toInt(&ok);
    return ok && percent >= 10 && percent <= 100 && percent % 10 == 0 ? percent / 10 - 1 : -1;
}

}  // namespace

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
    connect(mRunner.get(), &JobRunner::rowSkipped, this, &ViewController::onRowSkipped);
    connect(mRunner.get(), &JobRunner::extraConverted, this, [this] { ++mJobExtraFiles; });
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
    mProgressTimer = new QTimer(this);
    mProgressTimer->setInterval(1000);
    connect(mProgressTimer, &QTimer::timeout, this, &ViewController::showProgress);
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
        if (mIsStopTo && !mRunner->busy()) {
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

void ViewController::viewDidLoad()
{
    // 1. The drop view takes dropped file names and reports them here.
    mDropView->RegisterForDragged();
    connect(mDropView, &DragDropView::dragDropViewFileList, this, &ViewController::dragDropViewFileList);

    setUpFileTable();
    restoreSaveSettings();
    setUpChoices();
    restoreOptions();
    showIdle();
    connect(mTableView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::dataChanged, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::rowsInserted, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::rowsRemoved, this, &ViewController::refreshStatus);
    connect(mModel, &QAbstractItemModel::modelReset, this, &ViewController::refreshStatus);
    refreshStatus();
}

// Every option as it was left, from the settings file; a stored value the
// control cannot take leaves its default. Each change is stored at once.
void ViewController::restoreOptions()
{
    UserInfo& stored = mServices.userInfo;
    const int format = static_cast<int>(kFormatWords.indexOf(stored.ReadData(settings_key::kFormat)));
    if (format >= 0) {
        mOutFormat->setCurrentIndex(format);
    }
    if (const int scale = percentIndex(stored.ReadData(settings_key::kScale)); scale >= 0) {
        mImageSize->setCurrentIndex(scale);
    }
    if (const int quality = percentIndex(stored.ReadData(settings_key::kQuality)); quality >= 0) {
        mImageQuality->setCurrentIndex(quality);
    }
    bool ok = false;
    const int side = stored.ReadData(settings_key::kMaxSide).toInt(&ok);
    if (ok && side >= mMaxSide->minimum() && side <= mMaxSide->maximum()) {
        mMaxSide->setValue(side);
    }
    const auto restoreBox = [&stored](QCheckBox* box, const QString& key) {
        const QString value = stored.ReadData(key);
        if (!value.isEmpty()) {
            box->setChecked(textBoolValue(value));
        }
    };
    restoreBox(mExifBox, settings_key::kKeepExif);
    restoreBox(mKeepHdr, settings_key::kKeepHdr);
    restoreBox(mDepth16, settings_key::kSixteenBits);
    restoreBox(mKeepDates, settings_key::kKeepDates);
    restoreBox(mSubfolders, settings_key::kSubfolders);
    if (const auto naming = kNamingWords.indexOf(stored.ReadData(settings_key::kNaming)); naming >= 0) {
        mNameChoice->setCurrentIndex(static_cast<int>(naming));
    }
    mNameSuffix->setText(stored.ReadData(settings_key::kNameSuffix));
    if (const auto existing = kExistingWords.indexOf(stored.ReadData(settings_key::kExisting)); existing >= 0) {
        mExistingChoice->setCurrentIndex(static_cast<int>(existing));
    }

    connect(mOutFormat, &QComboBox::currentIndexChanged, this,
            [this] { storeOption(settings_key::kFormat, mSaveSuff); });
    connect(mImageSize, &QComboBox::currentIndexChanged, this,
            [this](int index) { storeOption(settings_key::kScale, QString::number(index * 10 + 10)); });
    connect(mImageQuality, &QComboBox::currentIndexChanged, this,
            [this] { storeOption(settings_key::kQuality, QString::number(mQuality)); });
    connect(mMaxSide, &QSpinBox::valueChanged, this,
            [this](int value) { storeOption(settings_key::kMaxSide, QString::number(value)); });
    const std::pair<QCheckBox*, QString> boxes[] = {
        {mExifBox, settings_key::kKeepExif},
        {mDepth16, settings_key::kSixteenBits},
        {mKeepDates, settings_key::kKeepDates},
        {mSubfolders, settings_key::kSubfolders},
        {mAllImagesBox, settings_key::kWriteAllImages},
        {mKeepHdr, settings_key::kKeepHdr},
    };
    for (const auto& box : boxes) {
        connect(box.first, &QCheckBox::toggled, this,
                [this, key = box.second](bool checked) { storeOption(key, boolText(checked)); });
    }
    connect(mNameChoice, &QComboBox::currentIndexChanged, this, [this](int index) {
        storeOption(settings_key::kNaming, kNamingWords.value(index));
        updateOptionStates();
    });
    connect(mNameSuffix, &QLineEdit::textChanged, this,
            [this](const QString& suffix) { storeOption(settings_key::kNameSuffix, suffix); });
    connect(mExistingChoice, &QComboBox::currentIndexChanged, this,
            [this](int index) { storeOption(settings_key::kExisting, kExistingWords.value(index)); });
    // A folder typed into the field is kept like a chosen one.
    connect(mShowPath, &QLineEdit::editingFinished, this, [this] {
        if (!mShowPath->text().trimmed().isEmpty()) {
            storeOption(settings_key::kSavePath, mShowPath->text());
        }
    });
    updateOptionStates();
}

void ViewController::storeOption(const QString& key, const QString& value)
{
    if (mServices.userInfo.ReadData(key) != value) {
        mServices.userInfo.WriteData(value, key);
    }
}

void ViewController::updateOptionStates()
{
    const bool on = mOptionsEnabled;
    const bool qualityApplies = mSaveSuff == QLatin1String("JPG") || mSaveSuff == QLatin1String("JPEG2000") ||
                                mSaveSuff == QLatin1String("WEBP");
    const bool deepApplies = mSaveSuff == QLatin1String("PNG") || mSaveSuff == QLatin1String("TIFF");
    // Only a JPEG carries a gain map beside its picture.
    const bool hdrApplies = mSaveSuff == QLatin1String("JPG");
    for (QWidget* control :
         std::initializer_list<QWidget*>{mOutFormat, mImageSize, mMaxSide, mExifBox, mKeepDates, mAllImagesBox,
                                         mSubfolders, mNameChoice, mExistingChoice, mSaveHEICPath, mSaveCustomPath}) {
        control->setEnabled(on);
    }
    mImageQuality->setEnabled(on && qualityApplies);
    mDepth16->setEnabled(on && deepApplies);
    mKeepHdr->setEnabled(on && hdrApplies);
    mNameSuffix->setEnabled(on && mNameChoice->currentIndex() == static_cast<int>(NameChoice::OriginalWithSuffix));
    // The folder field and its button belong to the save-to-folder mode.
    mShowPath->setEnabled(on && !mSaveHeicPath);
    mSelectPathBt->setEnabled(on && !mSaveHeicPath);
    mAddFileBt->setEnabled(on);
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

    // Whether every image of a file is written.
    mAllImagesBox->setChecked(textBoolValue(mServices.userInfo.ReadData(settings_key::kWriteAllImages)));
}

void ViewController::setUpChoices()
{
    // 5. to 7. The choice lists; each value follows from the selected index.
    mOutFormat->addItems(kFormatWords);
    // The words are the stored values; WebP is shown by its own name where the language has one.
    mOutFormat->setItemText(static_cast<int>(kFormatWords.indexOf(QStringLiteral("WEBP"))),
                            QCoreApplication::translate("ViewController", "WEBP"));
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

    // 8. EXIF and the HDR rendition kept.
    mExifBox->setChecked(true);
    mKeepHdr->setChecked(true);
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
    // Every option is locked while a job runs: the window shows what the job does.
    mOptionsEnabled = enabled;
    updateOptionStates();
}

void ViewController::refreshListControls()
{
    const bool empty = mModel->isEmpty();
    mAddHeicFileBt->setVisible(empty);
    mAddHeicHint->setVisible(empty);
    mRemoveAllBt->setVisible(!empty);
    mTableView->setAlternatingRowColors(!empty);
    scanNewRows();
    refreshStatus();
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
            QImage thumbnail;
            const GatheredLibraryLines gathered(QString::fromStdString(path));
            try {
                QFile file(QString::fromStdString(path));
                if (file.size() <= static_cast<qint64>(convert::kMaxSourceBytes) && file.open(QIODevice::ReadOnly)) {
                    const QByteArray bytes = file.readAll();
                    holds = holdsText(pipeline::listImages(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                           static_cast<std::size_t>(bytes.size())));
                    thumbnail = storedThumbnail(bytes, kThumbnailSide);
                }
            } catch (...) {
                // Not readable as HEIF: the conversion will say why.
            }
            if (holds.isEmpty() && thumbnail.isNull()) {
                return;
            }
            QMetaObject::invokeMethod(
                qApp,
                [self, id, holds, thumbnail] {
                    if (self != nullptr) {
                        self->mModel->setHolds(id, holds);
                        self->mModel->setThumbnail(id, thumbnail);
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
        mServices.dialogs.runAlert(this, Alert{text::noFilesTitle(), text::addFilesFirst(), {text::ok()}});
        return;
    }
    if (!mIsStopTo) {
        // Running: request the stop; the worker sees it before its next row.
        appLog(QStringLiteral("job: stop requested after %1 of %2 files").arg(mJobDone).arg(mJobRowIds.size()));
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
        mServices.dialogs.runAlert(
            this, Alert{text::saveFolderTitle(), text::unusableFolder(mShowPath->text()), {text::ok()}, true});
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
    job.options.maxSide = static_cast<std::uint32_t>(mMaxSide->value());
    const bool deepFormat = mSaveSuff == QLatin1String("PNG") || mSaveSuff == QLatin1String("TIFF");
    job.options.depth = deepFormat && mDepth16->isChecked() ? 16 : 8;
    job.options.keepDates = mKeepDates->isChecked();
    // Other formats write the picture alone and say so once.
    job.options.keepHdr = mKeepHdr->isChecked();
    // Every naming option is set here: the window's names are its own.
    const auto naming = static_cast<NameChoice>(std::max(0, mNameChoice->currentIndex()));
    job.options.plainNames = naming != NameChoice::JobTime;
    switch (mExistingChoice->currentIndex()) {
    case 1: job.options.existing = convert::ExistingOutput::Skip; break;
    case 2: job.options.existing = convert::ExistingOutput::Overwrite; break;
    default: job.options.existing = convert::ExistingOutput::NewName; break;
    }
    // Names decided in list order, whichever file is done first.
    job.options.planNames = true;
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
    for (convert::FileRecord& record : job.records) {
        record.fileName =
            outputStem(QString::fromStdString(record.heicPath), naming, mNameSuffix->text()).toStdString();
    }
    mJobRowIds = mModel->rowIds();
    const QString started =
        QStringLiteral(
            "job: started, %1 files; format %2, scale %3%, longest side %4, quality %5, %6 bits, "
            "EXIF %7, all images %8, dates %9, names %10, existing names %11, HDR %12, output %13")
            .arg(mJobRowIds.size())
            .arg(mSaveSuff)
            .arg(qRound(mImageZooming * 100))
            .arg(job.options.maxSide)
            .arg(mQuality)
            .arg(job.options.depth)
            .arg(boolText(mExif), boolText(allImages), boolText(job.options.keepDates),
                 kNamingWords.value(static_cast<int>(naming)) +
                     (naming == NameChoice::OriginalWithSuffix ? " \"" + mNameSuffix->text() + '"' : QString()),
                 kExistingWords.value(mExistingChoice->currentIndex()), boolText(job.options.keepHdr),
                 mSavePath ? *mSavePath : QStringLiteral("beside the sources"));
    if (!mRunner->start(std::move(job))) {
        mIsStopTo = true;
        setStartButton(text::start(), image::kToBt);
        ToBtState(true);
        return;
    }
    mJobDone = 0;
    mJobFailed = 0;
    mJobConverted = 0;
    mJobSkipped = 0;
    mJobExtraFiles = 0;
    mPendingSummary.reset();
    appLog(started);
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
    ++mJobConverted;
    rowDone(jobRow);
}

void ViewController::onRowSkipped(int jobRow, const QString& existingPath)
{
    mModel->setSkipped(rowOfJobRow(jobRow), existingPath);
    ++mJobSkipped;
    rowDone(jobRow);
}

void ViewController::onRowStarted(int jobRow)
{
    const int row = rowOfJobRow(jobRow);
    mModel->setConverting(row, true);
    // The list follows the rows being converted.
    if (row >= 0 && !mTableView->isRowHidden(row)) {
        mTableView->scrollTo(mModel->index(row, FileTableModel::NameColumn), QAbstractItemView::EnsureVisible);
    }
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
    appLog(QStringLiteral("job: stopped; %1 converted, %2 failed, %3 skipped, %4 not converted")
               .arg(mJobConverted)
               .arg(mJobFailed)
               .arg(mJobSkipped)
               .arg(static_cast<int>(mJobRowIds.size()) - mJobDone));
    endProgress();
    setStartButton(text::start(), image::kToBt);
    ToBtState(true);
    emit jobEnded(false, mJobConverted);
    if (mCloseWhenEnded) {
        emit readyToClose();
        return;
    }
    showSummary(false);
}

void ViewController::onJobFinished(int converted)
{
    appLog(QStringLiteral("job: finished; %1 converted (%2 files written), %3 failed, %4 skipped")
               .arg(converted)
               .arg(converted + mJobExtraFiles)
               .arg(mJobFailed)
               .arg(mJobSkipped));
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
    showSummary(true);
    emit jobEnded(true, converted);
}

Alert ViewController::jobSummary(bool finished) const
{
    Alert summary;
    summary.messageText = finished ? text::finishedTitle() : text::stoppedTitle();
    QStringList lines;
    // A job with failures (or a stopped one) does not congratulate.
    lines << (finished && mJobFailed == 0 && mJobConverted > 0 ? text::summary(mJobConverted)
                                                               : text::convertedCount(mJobConverted));
    if (mJobExtraFiles > 0) {
        lines.last() +=
            QCoreApplication::translate("ViewController", "，") + text::filesWritten(mJobConverted + mJobExtraFiles);
    }
    if (mJobSkipped > 0) {
        lines << text::skippedCount(mJobSkipped);
    }
    if (mJobFailed > 0) {
        lines << text::failedSummary(mJobFailed);
    }
    const int left = static_cast<int>(mJobRowIds.size()) - mJobDone;
    if (!finished && left > 0) {
        lines << text::notConvertedCount(left);
    }
    summary.informativeText = lines.join(u'\n');
    summary.warning = mJobFailed > 0;
    summary.buttons = {text::ok()};
    if (mJobConverted > 0) {
        summary.buttons << text::openOutputFolder();
    }
    return summary;
}

void ViewController::showSummary(bool finished)
{
    if (mAskingToClose) {
        // The close question is open; the summary waits for its answer.
        mPendingSummary = finished;
        return;
    }
    Alert summary = jobSummary(finished);
    const QPointer<ViewController> self(this);
    summary.answered = [self](int button) {
        if (button == 1 && self != nullptr) {
            self->OpenPathBtEvent();
        }
    };
    // The desktop hears of the end when the window is not in front.
    if (!window()->isActiveWindow()) {
        mServices.desktop.notify(summary.messageText, summary.informativeText);
    }
    mServices.dialogs.showSheetAlert(this, summary);
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
    mAskingToClose = true;
    const int answer = mServices.dialogs.runAlert(
        this, Alert{text::quitTitle(), text::quitDuringJob(), {text::stopAndQuit(), text::keepConverting()}, true});
    mAskingToClose = false;
    if (answer != 0) {
        // Keep converting (or the question was closed): the window stays, and
        // a job that ended meanwhile shows its summary now.
        if (const std::optional<bool> pending = std::exchange(mPendingSummary, std::nullopt)) {
            showSummary(*pending);
        }
        return false;
    }
    mPendingSummary.reset();
    if (!mRunner->busy()) {
        return true;  // the job ended while the question was open
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
        appLog(QCoreApplication::translate("Log", "找到重复：%1").arg(path));
        return;
    }
    addRecord(path);
}

void ViewController::addRecord(const QString& path, const std::string& subfolder)
{
    convert::FileRecord record = convert::makeRecord(path.toStdString());
    record.outputSubfolder = subfolder;
    // The size as the folder lists it, also for a file that cannot be read
    // (its row says why when it is converted).
    const QFileInfo info(path);
    if (info.isFile()) {
        record.heicFileSize = sizeText(info.size()).toStdString();
    }
    mModel->append(std::move(record));
}

void ViewController::addFolder(const QString& folder)
{
    const bool recursive = mSubfolders->isChecked();
    const convert::FolderScan scan = convert::scanFolder(folder.toStdString(), recursive);
    for (const convert::FolderScan::Entry& entry : scan.files) {
        const QString path = QString::fromStdString(entry.path);
        if (mModel->contains(path)) {
            appLog(QCoreApplication::translate("Log", "找到重复：%1").arg(path));
            continue;
        }
        // Subfolders are mirrored below the output folder.
        addRecord(path, recursive ? entry.relative : std::string());
    }
    mSubfoldersSkipped += static_cast<int>(scan.subfolders);
}

void ViewController::addChosenItem(const QString& path, bool anyName)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return;
    }
    if (info.isDir()) {
        addFolder(path);
    } else if (anyName && !mModel->contains(path)) {
        addRecord(path);
    } else {
        AddHeicPath(path);
    }
}

void ViewController::AddHeicFileBtEvent(QWidget* anchor)
{
    mSubfoldersSkipped = 0;
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
    mSubfoldersSkipped = 0;
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
    mSubfoldersSkipped = 0;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            // A dropped folder gives its HEIF files, its subfolders' too when asked.
            addFolder(path);
        } else {
            AddHeicPath(path);
        }
    }
    refreshListControls();
}

void ViewController::DeleteEvent(int row)
{
    if (!mIsStopTo) {
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
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
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
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
        mServices.dialogs.runAlert(this, Alert{text::busyTitle(), text::cannotDelete(), {text::ok()}});
        return;
    }
    if (mModel->isEmpty()) {
        return;
    }
    const int answer = mServices.dialogs.runAlert(
        this, Alert{text::clearListTitle(), text::clearList(), {text::clearNow(), text::cancel()}});
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
    // Quality, 16 bits and HDR apply to some formats only.
    if (mDepth16 != nullptr) {
        updateOptionStates();
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
    updateOptionStates();
    mServices.userInfo.WriteData(QStringLiteral("1"), settings_key::kSaveHeicPath);
}

void ViewController::SaveCustomPathBTEvent()
{
    mSaveHeicPath = false;
    mSaveHEICPath->setChecked(false);
    mSaveCustomPath->setChecked(true);
    updateOptionStates();
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

QString ViewController::outputFolderToOpen() const
{
    if (!mSaveHeicPath) {
        return mShowPath->text();
    }
    // Beside the sources: the folder of the selected row's output (or source),
    // else the first row's.
    int row = mTableView->currentIndex().row();
    if (row < 0 || row >= mModel->count()) {
        row = mModel->isEmpty() ? -1 : 0;
    }
    if (row < 0) {
        return {};
    }
    const NSAmbrelData& record = mModel->record(row);
    return QString::fromStdString(record.toPath.empty() ? record.originalFilePath : convert::folderOf(record.toPath));
}

void ViewController::OpenPathBtEvent()
{
    const QString folder = outputFolderToOpen();
    QString problem;
    if (folder.trimmed().isEmpty()) {
        problem = text::noFolderToOpen();
    } else if (!QFileInfo(folder).isDir()) {
        problem = text::folderMissing(folder);
    } else if (!mServices.desktop.openUrl(QUrl::fromLocalFile(folder))) {
        problem = text::cannotOpenFolder(folder);
    }
    if (!problem.isEmpty()) {
        mServices.dialogs.runAlert(this, Alert{text::openFolderTitle(), problem, {text::ok()}});
    }
}

QString ViewController::rowDetails(int row) const
{
    if (row < 0 || row >= mModel->count()) {
        return {};
    }
    const QModelIndex state = mModel->index(row, FileTableModel::StateColumn);
    QString details =
        QStringLiteral("%1 · %2").arg(QFileInfo(QString::fromStdString(mModel->record(row).heicPath)).fileName(),
                                      state.data(Qt::AccessibleTextRole).toString());
    const QString reason = state.data(Qt::ToolTipRole).toString();
    if (!reason.isEmpty() && reason != state.data(Qt::DisplayRole).toString()) {
        details += QCoreApplication::translate("ViewController", "：") + reason;
    }
    return details;
}

void ViewController::filterRows()
{
    const bool failedOnly = mFailedOnly->isChecked();
    for (int row = 0; row < mModel->count(); ++row) {
        mTableView->setRowHidden(row, failedOnly && rowStateOf(mModel->record(row)) != RowState::Failed);
    }
}

void ViewController::refreshStatus()
{
    if (mFailedOnly->isChecked()) {
        filterRows();
    }
    const int row = mTableView->currentIndex().row();
    QString status;
    int failedRows = 0;
    for (int i = 0; i < mModel->count(); ++i) {
        failedRows += rowStateOf(mModel->record(i)) == RowState::Failed ? 1 : 0;
    }
    if (row >= 0 && row < mModel->count()) {
        status = rowDetails(row);
    } else if (!mModel->isEmpty()) {
        int converted = 0;
        for (int i = 0; i < mModel->count(); ++i) {
            converted += rowStateOf(mModel->record(i)) == RowState::Converted ? 1 : 0;
        }
        const int failed = failedRows;
        status = QCoreApplication::translate("ViewController", "%n 个文件", nullptr, mModel->count());
        if (converted > 0) {
            status += QCoreApplication::translate("ViewController", " · 已转换 %1").arg(converted);
        }
        if (failed > 0) {
            status += QCoreApplication::translate("ViewController", " · 失败 %1").arg(failed);
        }
    }
    if (mSubfoldersSkipped > 0 && (row < 0 || row >= mModel->count())) {
        status += (status.isEmpty() ? QString() : QStringLiteral(" · ")) +
                  QCoreApplication::translate("ViewController", "%n 个子文件夹未添加（可勾选“包括子文件夹”）", nullptr,
                                              mSubfoldersSkipped);
    }
    mFailedOnly->setVisible(mFailedOnly->isChecked() || failedRows > 0);
    mStatusText->setText(status);
    mStatusText->setToolTip(status);
}

void ViewController::PreViewEvent(int row)
{
    if (row < 0 || row >= mModel->count()) {
        return;
    }
    mServices.preview.previewFile(QUrl::fromLocalFile(QString::fromStdString(mModel->record(row).toPath)));
}

}  // namespace ambrel::app
