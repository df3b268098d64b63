// The white area over the file list that takes dropped files.
#pragma once

#include <QtCore/QStringList>
#include <QtWidgets/QWidget>

class QMimeData;

namespace ambrel::app {

class DragDropView : public QWidget
{
    Q_OBJECT
public:
    explicit DragDropView(QWidget* parent = nullptr);

    // Accepts dragged file names from now on.
    void RegisterForDragged();

    // The local file paths a drag carries, in order.
    static QStringList filePaths(const QMimeData* data);

signals:
    // The paths of a drop; the controller takes them as its
    // dragDropViewFileList.
    void dragDropViewFileList(const QStringList& paths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace ambrel::app
