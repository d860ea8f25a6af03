// ImageViewer: a window showing one row of the file list at a time: the cutout over a checkerboard,
// white, black or a chosen colour, or split against its source; the source alone while the row
// waits or runs, and the row's error text when it failed. Left/Right step through the rows,
// Escape or Space close it, Return opens a finished row's cutout in the desktop's default
// application; every button has a key (see keyPressEvent). Pictures are decoded and converted on
// one thread of reduced priority, and a load that ends after the viewer moved on is dropped.
// GUI thread only; the model must outlive the viewer.
#pragma once

#include <QImage>
#include <QPointer>
#include <QThreadPool>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class QLabel;
class QToolButton;

namespace pelorin {

class FileListModel;
class ImageItem;
class ViewerCanvas;

class ImageViewer final : public QWidget {
    Q_OBJECT
public:
    using OpenUrl = std::function<void(const QUrl&)>;

    // `openUrl` opens a file in the desktop's default application.
    ImageViewer(FileListModel* model, OpenUrl openUrl, QWidget* parent = nullptr);

    // Shows the row (and the window); an index outside the list does nothing.
    void showRow(int row);
    // The row shown; -1 when its item has gone.
    int currentRow() const;
    ViewerCanvas* canvas() const { return canvas_; }
    // The line under the picture: the row's state, its error text, or a load failure.
    QString message() const;
    bool isLoading() const { return loading_; }

signals:
    void currentRowChanged(int row);
    // The pictures of the current row are on the canvas (or failed to load).
    void picturesLoaded();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Pictures {
        QImage source;
        QImage cutout;
        QString failure;
    };

    QToolButton* addButton(QLayout* bar, const char* name, const QString& text, const QKeySequence& key,
                           bool checkable);
    void step(int delta);
    void rowChanged(int row);
    void load();
    void loaded(quint64 generation, const Pictures& pictures);
    void refreshMessage();
    void refreshControls();
    void chooseColor();
    void cycleBackground();
    void openCutout();

    FileListModel* model_;
    OpenUrl openUrl_;
    QPointer<ImageItem> item_;
    QString sourceShown_; // the files whose pictures are (being) loaded
    QString cutoutShown_;
    // The newest load; a queued load that is no longer the newest is skipped unstarted.
    std::shared_ptr<std::atomic<quint64>> generation_ = std::make_shared<std::atomic<quint64>>(0);
    bool loading_ = false;
    QString loadFailure_;

    QLabel* title_;
    ViewerCanvas* canvas_;
    QLabel* message_;
    QLabel* zoomLabel_;
    QToolButton* backgroundButtons_[4] = {};
    QToolButton* splitButton_ = nullptr;
    QToolButton* fitButton_ = nullptr;
    QToolButton* actualButton_ = nullptr;
    // One decoding thread below normal priority: a batch keeps its cores while the user looks.
    QThreadPool loader_;
};

} // namespace pelorin
