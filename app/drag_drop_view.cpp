#include "app/drag_drop_view.h"

#include <QtCore/QMimeData>
#include <QtCore/QUrl>
#include <QtGui/QDragEnterEvent>
#include <QtGui/QPainter>

#include "app/app_log.h"

namespace ambrel::app {

DragDropView::DragDropView(QWidget* parent) : QWidget(parent) {}

void DragDropView::RegisterForDragged()
{
    setAcceptDrops(true);
}

QStringList DragDropView::filePaths(const QMimeData* data)
{
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    return paths;
}

void DragDropView::dragEnterEvent(QDragEnterEvent* event)
{
    // File names are taken as a link; anything else is refused.
    if (!filePaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragDropView::dragMoveEvent(QDragMoveEvent* event)
{
    if (!filePaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::LinkAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DragDropView::dropEvent(QDropEvent* event)
{
    const QStringList paths = filePaths(event->mimeData());
    appLog(QStringLiteral("(\n    %1\n)").arg(paths.join(QStringLiteral(",\n    "))));
    emit dragDropViewFileList(paths);
    event->setDropAction(Qt::LinkAction);
    event->accept();
}

void DragDropView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
}

}  // namespace ambrel::app
