// The application's pictures, by name, from the resource file.
#pragma once

#include <QtCore/QString>
#include <QtGui/QIcon>

class QAbstractButton;

namespace ambrel::app {

namespace image {
inline const QString kToBt = QStringLiteral("ToBt");              // start button
inline const QString kStopBt = QStringLiteral("StopBt");          // stop button
inline const QString kNoTo = QStringLiteral("NoTo");              // row not converted
inline const QString kToComplete = QStringLiteral("ToComplete");  // row converted
inline const QString kPreBt = QStringLiteral("PreBt");            // preview button
inline const QString kDeleteBt = QStringLiteral("DeleteBt");      // delete button
inline const QString kAddHeic = QStringLiteral("AddHeic");        // the empty list
}  // namespace image

// The named picture; an empty icon when there is none.
QIcon namedImage(const QString& name);
// The application icon.
QIcon applicationIcon();

// Gives the button the named picture and remembers the name in its
// "imageName" property.
void setButtonImage(QAbstractButton* button, const QString& name);
QString buttonImageName(const QAbstractButton* button);

}  // namespace ambrel::app
