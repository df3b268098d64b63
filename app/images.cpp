#include "app/images.h"

#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtWidgets/QAbstractButton>

// The resource file is compiled into a static library: register it by hand
// before the first picture is loaded.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(ambrel);
        return true;
    }();
    (void)registered;
}

namespace ambrel::app {

QIcon namedImage(const QString& name)
{
    registerResources();
    const QString path = QStringLiteral(":/images/%1.png").arg(name);
    return QFile::exists(path) ? QIcon(path) : QIcon();
}

QIcon applicationIcon()
{
    registerResources();
    QIcon icon;
    for (int size : {48, 64, 256}) {
        icon.addFile(QStringLiteral(":/icons/ambrel-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

void setButtonImage(QAbstractButton* button, const QString& name)
{
    button->setIcon(namedImage(name));
    button->setProperty("imageName", name);
}

QString buttonImageName(const QAbstractButton* button)
{
    return button->property("imageName").toString();
}

}  // namespace ambrel::app
