#include "app/services.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtGui/QDesktopServices>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "app/app_log.h"

namespace ambrel::app {

namespace {

// A message box with the alert's texts; returns its buttons in order.
QList<QAbstractButton*> fillMessageBox(QMessageBox& box, const Alert& alert)
{
    box.setIcon(alert.warning ? QMessageBox::Warning : QMessageBox::Information);
    box.setWindowTitle(alert.messageText);
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        // The first button confirms, a second one cancels.
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        QPushButton* button = box.addButton(alert.buttons[i], role);
        if (i == 0) {
            box.setDefaultButton(button);
        }
        buttons.append(button);
    }
    // Wide enough that the informative texts stay on one line.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(320, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    return buttons;
}

}  // namespace

int QtDialogs::runAlert(QWidget* parent, const Alert& alert)
{
    QMessageBox box(parent != nullptr ? parent->window() : nullptr);
    const auto buttons = fillMessageBox(box, alert);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return static_cast<int>(buttons.indexOf(box.clickedButton()));
}

void QtDialogs::showSheetAlert(QWidget* parent, const Alert& alert)
{
    auto* box = new QMessageBox(parent != nullptr ? parent->window() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const auto buttons = fillMessageBox(*box, alert);
    if (alert.answered) {
        QObject::connect(box, &QMessageBox::finished, box, [box, buttons, answered = alert.answered] {
            answered(static_cast<int>(buttons.indexOf(box->clickedButton())));
        });
    }
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

QStringList QtDialogs::openHeicPanel(QWidget* anchor)
{
    // Qt's file dialog picks either files or folders; a small menu at the
    // add button offers both.
    QMenu menu(anchor);
    QAction* files = menu.addAction(QCoreApplication::translate("Dialogs", "添加 HEIC 文件…"));
    QAction* folder = menu.addAction(QCoreApplication::translate("Dialogs", "添加文件夹…"));
    const QPoint where = anchor != nullptr ? anchor->mapToGlobal(QPoint(0, anchor->height())) : QCursor::pos();
    QAction* chosen = menu.exec(where);
    QWidget* parent = anchor != nullptr ? anchor->window() : nullptr;
    const QString start = mLastFolder.isEmpty() ? QDir::homePath() : mLastFolder;
    QStringList paths;
    if (chosen == files) {
        const QString filter = QCoreApplication::translate("Dialogs", "HEIC 图片") +
                               QStringLiteral(" (*.heic *.HEIC *.heif *.HEIF *.hif *.HIF *.avif *.AVIF);;") +
                               QCoreApplication::translate("Dialogs", "所有文件") + QStringLiteral(" (*)");
        paths = QFileDialog::getOpenFileNames(parent, QCoreApplication::translate("Dialogs", "添加 HEIC 文件"), start,
                                              filter);
        if (!paths.isEmpty()) {
            mLastFolder = QFileInfo(paths.first()).absolutePath();
        }
    } else if (chosen == folder) {
        const QString path =
            QFileDialog::getExistingDirectory(parent, QCoreApplication::translate("Dialogs", "添加文件夹"), start);
        if (!path.isEmpty()) {
            paths.append(path);
            mLastFolder = path;
        }
    }
    return paths;
}

std::optional<QString> QtDialogs::chooseFolder(QWidget* parent, const QString& startFolder)
{
    QFileDialog dialog(parent != nullptr ? parent->window() : nullptr,
                       QCoreApplication::translate("Dialogs", "选择输出文件夹"), startFolder);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setLabelText(QFileDialog::Accept, QCoreApplication::translate("Dialogs", "选择"));
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first();
}

bool QtDesktopServices::openUrl(const QUrl& url)
{
    if (!QDesktopServices::openUrl(url)) {
        appLog(QStringLiteral("cannot open %1").arg(url.toString()));
        return false;
    }
    return true;
}

void QtDesktopServices::notify(const QString& title, const QString& text)
{
    // The desktop's notification service; nothing happens where there is none.
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    message << QStringLiteral("Ambrel") << 0u << QStringLiteral("ambrel") << title << text << QStringList()
            << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("ambrel")}} << -1;
    QDBusConnection::sessionBus().call(message, QDBus::NoBlock);
}

}  // namespace ambrel::app
