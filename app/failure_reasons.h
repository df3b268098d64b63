// Why a file failed, in the window's language. The conversion gives its
// reasons in English ("not a HEIF file", "cannot open the file: Permission
// denied"); the ones it is known to give are matched here and said through
// the translation system, with the file's own figures and names kept. A
// reason not known here is shown as the conversion wrote it.
#pragma once

#include <QtCore/QString>

namespace ambrel::app {

[[nodiscard]] QString failureReasonText(const QString& reason);

}  // namespace ambrel::app
