// The window's options: their values, the settings they are kept in, and
// the job they describe.
#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>
#include <QtCore/QStandardPaths>
#include <QtCore/QUrl>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTableView>

#include <algorithm>

#include "app/preview_cache.h"
#include "app/user_info.h"
#include "app/view_controller.h"
#include "convert/output_files.h"

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

void ViewController::ToBtState(bool enabled)
{
    // Every option is locked while a job runs: the window shows what the job does.
    mOptionsEnabled = enabled;
    updateOptionStates();
}

// The job the options describe, over every row of the list.
convert::JobDescription ViewController::describeJob() const
{
    convert::JobDescription job;
    job.options.format = convert::parseFormatWord(mSaveSuff.toStdString()).value_or(convert::OutputFormat::Jpg);
    job.options.scale = mImageZooming;
    job.options.quality = mQuality;
    job.options.keepExif = mExifBox->isChecked();
    if (!mSaveHeicPath) {
        job.options.outputFolder = mShowPath->text().toStdString();
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
    return job;
}

// The log's line of a job that starts: every option it runs with.
QString ViewController::startLine(const convert::JobOptions& options) const
{
    const auto naming = static_cast<NameChoice>(std::max(0, mNameChoice->currentIndex()));
    return QStringLiteral(
               "job: started, %1 files; format %2, scale %3%, longest side %4, quality %5, %6 bits, "
               "EXIF %7, all images %8, dates %9, names %10, existing names %11, HDR %12, output %13")
        .arg(mModel->count())
        .arg(mSaveSuff)
        .arg(qRound(mImageZooming * 100))
        .arg(options.maxSide)
        .arg(mQuality)
        .arg(options.depth)
        .arg(boolText(options.keepExif), boolText(options.allImages), boolText(options.keepDates),
             kNamingWords.value(static_cast<int>(naming)) +
                 (naming == NameChoice::OriginalWithSuffix ? " \"" + mNameSuffix->text() + '"' : QString()),
             kExistingWords.value(mExistingChoice->currentIndex()), boolText(options.keepHdr),
             options.outputFolder ? QString::fromStdString(*options.outputFolder)
                                  : QStringLiteral("beside the sources"));
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

}  // namespace ambrel::app
