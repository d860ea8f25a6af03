#include "app/Views/ImageViewer.h"

#include "app/Models/ImageItem.h"
#include "app/Services/BackgroundPriority.h"
#include "app/Services/DisplayImage.h"
#include "app/Views/FileListModel.h"
#include "app/Views/TextStyles.h"
#include "app/Views/ViewerCanvas.h"

#include <QApplication>
#include <QButtonGroup>
#include <QColorDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace pelorin {

namespace {

using Background = ViewerCanvas::Background;
constexpr Background backgrounds[] = {Background::checkerboard, Background::white, Background::black,
                                      Background::custom};
constexpr double keyZoomStep = 1.25;
// Under a batch that keeps every core busy this still gets about a tenth of one, so a picture
// shows within a second or two while the batch loses next to nothing.
constexpr int loaderNiceness = 10;

QString pathText(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

} // namespace

ImageViewer::ImageViewer(FileListModel* model, OpenUrl openUrl, QWidget* parent)
    : QWidget(parent, Qt::Window),
      model_(model),
      openUrl_(std::move(openUrl)),
      title_(new QLabel(this)),
      canvas_(new ViewerCanvas(this)),
      message_(new QLabel(this)),
      zoomLabel_(new QLabel(this))
{
    setObjectName(QStringLiteral("imageViewer"));
    setFocusPolicy(Qt::StrongFocus);
    resize(960, 680);
    loader_.setMaxThreadCount(1);

    auto* bar = new QHBoxLayout;
    QFont titleFont = title_->font();
    titleFont.setBold(true);
    title_->setFont(titleFont);
    title_->setTextInteractionFlags(Qt::NoTextInteraction);
    bar->addWidget(title_, 1);

    auto* group = new QButtonGroup(this);
    const QString backgroundTexts[] = {
        //: Viewer button: show the cutout over grey and white squares
        //% "Checkerboard"
        qtTrId("viewer.background.checkerboard"),
        //: Viewer button: show the cutout over white
        //% "White"
        qtTrId("viewer.background.white"),
        //: Viewer button: show the cutout over black
        //% "Black"
        qtTrId("viewer.background.black"),
        //: Viewer button: pick a colour to show the cutout over
        //% "Colour…"
        qtTrId("viewer.background.custom"),
    };
    const char* backgroundNames[] = {"checkerboardButton", "whiteButton", "blackButton", "colorButton"};
    for (int i = 0; i < 4; ++i) {
        // B steps through the backgrounds, C picks the colour; the tooltips say so.
        const QKeySequence key(i == 3 ? Qt::Key_C : Qt::Key_B);
        backgroundButtons_[i] = addButton(bar, backgroundNames[i], backgroundTexts[i], key, true);
        group->addButton(backgroundButtons_[i], i);
    }
    backgroundButtons_[0]->setChecked(true);
    connect(group, &QButtonGroup::idClicked, this, [this](int id) {
        if (backgrounds[id] == Background::custom)
            chooseColor();
        else
            canvas_->setBackground(backgrounds[id]);
    });
    bar->addSpacing(12);
    //: Viewer button: show the source left and the cutout right of a draggable line
    //% "Before/After"
    splitButton_ = addButton(bar, "splitButton", qtTrId("viewer.split"), QKeySequence(Qt::Key_S), true);
    connect(splitButton_, &QToolButton::toggled, canvas_, &ViewerCanvas::setSplit);
    bar->addSpacing(12);
    //: Viewer button: scale the picture to fit the window
    //% "Fit"
    fitButton_ = addButton(bar, "fitButton", qtTrId("viewer.zoom.fit"), QKeySequence(Qt::Key_F), false);
    connect(fitButton_, &QToolButton::clicked, canvas_, &ViewerCanvas::fitToWindow);
    //: Viewer button: one screen pixel per image pixel
    //% "100 %"
    actualButton_ = addButton(bar, "actualSizeButton", qtTrId("viewer.zoom.actual"), QKeySequence(Qt::Key_1), false);
    connect(actualButton_, &QToolButton::clicked, canvas_, &ViewerCanvas::showActualSize);

    auto* footer = new QHBoxLayout;
    message_->setObjectName(QStringLiteral("viewerMessage"));
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    footer->addWidget(message_, 1);
    zoomLabel_->setFont(TextStyles::captionFont(font()));
    footer->addWidget(zoomLabel_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addLayout(bar);
    layout->addWidget(canvas_, 1);
    layout->addLayout(footer);

    connect(canvas_, &ViewerCanvas::viewChanged, this, &ImageViewer::refreshControls);
    connect(model_, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& from, const QModelIndex& to) {
        const int row = currentRow();
        if (row >= from.row() && row <= to.row())
            rowChanged(row);
    });
    // A row removed while shown takes the viewer with it.
    const auto closeIfGone = [this] {
        if (!item_ || currentRow() < 0)
            close();
    };
    connect(model_, &QAbstractItemModel::rowsRemoved, this, closeIfGone);
    connect(model_, &QAbstractItemModel::modelReset, this, closeIfGone);
    refreshControls();
}

QToolButton* ImageViewer::addButton(QLayout* bar, const char* name, const QString& text, const QKeySequence& key,
                                    bool checkable)
{
    auto* button = new QToolButton(this);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(text);
    button->setCheckable(checkable);
    button->setAutoRaise(true);
    // Keys reach the viewer, never a button: Space closes rather than pressing the focused one.
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolTip(QStringLiteral("%1 (%2)").arg(text, key.toString(QKeySequence::NativeText)));
    bar->addWidget(button);
    return button;
}

int ImageViewer::currentRow() const
{
    return item_ ? model_->rowOf(item_) : -1;
}

void ImageViewer::showRow(int row)
{
    ImageItem* item = model_->itemAt(row);
    if (!item)
        return;
    const bool moved = item != item_;
    item_ = item;
    title_->setText(QString::fromStdString(item->url().filename().string()));
    title_->setToolTip(pathText(item->url()));
    setWindowTitle(title_->text());
    show();
    raise();
    activateWindow();
    setFocus();
    rowChanged(row);
    if (moved)
        emit currentRowChanged(row);
}

void ImageViewer::step(int delta)
{
    const int row = currentRow() + delta;
    if (currentRow() >= 0 && row >= 0 && row < model_->rowCount())
        showRow(row);
}

void ImageViewer::rowChanged(int)
{
    load();
    refreshMessage();
    refreshControls();
}

void ImageViewer::load()
{
    if (!item_)
        return;
    const QString source = pathText(item_->url());
    const auto cutoutPath = FileListModel::finishedCutout(*item_);
    const QString cutout = cutoutPath ? pathText(*cutoutPath) : QString();
    if (source == sourceShown_ && cutout == cutoutShown_)
        return;
    // The source stays when only the cutout is new: the row the viewer shows has just finished.
    const bool keepSource = source == sourceShown_ && !canvas_->source().isNull();
    sourceShown_ = source;
    cutoutShown_ = cutout;
    loading_ = true;
    loadFailure_.clear();
    const quint64 generation = ++*generation_;
    QPointer<ImageViewer> self(this);
    QImage kept = keepSource ? canvas_->source() : QImage();
    loader_.start([self, latest = generation_, generation, source, cutout, kept] {
        static thread_local const bool lowered = lowerCurrentThreadPriority(loaderNiceness);
        (void)lowered;
        if (*latest != generation)
            return;
        Pictures pictures;
        pictures.source = kept;
        if (pictures.source.isNull()) {
            auto loaded = DisplayImage::load(source.toStdString());
            if (loaded)
                pictures.source = *loaded;
            else
                pictures.failure = loaded.error();
        }
        if (!cutout.isEmpty()) {
            auto loaded = DisplayImage::load(cutout.toStdString());
            if (loaded)
                pictures.cutout = *loaded;
            else
                pictures.failure = loaded.error();
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, pictures] {
                if (self)
                    self->loaded(generation, pictures);
            },
            Qt::QueuedConnection);
    });
}

void ImageViewer::loaded(quint64 generation, const Pictures& pictures)
{
    if (generation != *generation_)
        return;
    loading_ = false;
    loadFailure_ = pictures.failure;
    canvas_->setPictures(pictures.source, pictures.cutout);
    refreshMessage();
    refreshControls();
    emit picturesLoaded();
}

QString ImageViewer::message() const
{
    return message_->text();
}

void ImageViewer::refreshMessage()
{
    if (!item_) {
        message_->clear();
        return;
    }
    QString text;
    bool problem = false;
    switch (item_->status().kind()) {
    case ProcessingStatus::Kind::waiting:
        //: Viewer line under a row that has not been processed yet
        //% "Waiting: showing the source"
        text = qtTrId("viewer.state.waiting");
        break;
    case ProcessingStatus::Kind::processing:
        //: Viewer line under a row being processed
        //% "Processing: showing the source"
        text = qtTrId("viewer.state.processing");
        break;
    case ProcessingStatus::Kind::cancelled:
        //: Viewer line under a cancelled row
        //% "Cancelled: showing the source"
        text = qtTrId("viewer.state.cancelled");
        break;
    case ProcessingStatus::Kind::error:
        //: Viewer line under a failed row; %1 is the reason
        //% "Failed: %1"
        text = qtTrId("viewer.state.failed").arg(item_->status().message());
        problem = true;
        break;
    case ProcessingStatus::Kind::completed:
        if (const QString warning = item_->errorMessage().value_or(QString()); !warning.isEmpty()) {
            //: Viewer line under a finished row whose mask file could not be written; %1 is why
            //% "Done with warning: %1"
            text = qtTrId("viewer.state.warning").arg(warning);
            problem = true;
        } else {
            //: Viewer line under a finished row
            //% "Done: Return opens the cutout"
            text = qtTrId("viewer.state.done");
        }
        break;
    }
    if (!loadFailure_.isEmpty()) {
        //: Viewer line when the picture itself cannot be shown; %1 is the decoder's reason
        //% "Cannot show this picture: %1"
        const QString failure = qtTrId("viewer.state.unreadable").arg(loadFailure_);
        text = text.isEmpty() ? failure : text + QLatin1Char('\n') + failure;
        problem = true;
    } else if (loading_) {
        //: Viewer line while the pictures are being decoded
        //% "Loading…"
        const QString loadingText = qtTrId("viewer.state.loading");
        text = text.isEmpty() ? loadingText : text + QStringLiteral(" · ") + loadingText;
    }
    message_->setText(text);
    QPalette palette = message_->palette();
    palette.setColor(QPalette::WindowText,
                     problem ? QColor(0xc6, 0x28, 0x28) : TextStyles::secondaryColor(this->palette()));
    message_->setPalette(palette);
}

void ImageViewer::refreshControls()
{
    const bool hasCutout = !canvas_->cutout().isNull();
    for (QToolButton* button : backgroundButtons_)
        button->setEnabled(hasCutout);
    splitButton_->setEnabled(hasCutout && !canvas_->source().isNull());
    //: Viewer caption: the zoom; %1 is a whole number of percent
    //% "%1 %"
    zoomLabel_->setText(qtTrId("viewer.zoom.percent").arg(QLocale().toString(std::lround(canvas_->zoom() * 100))));
}

void ImageViewer::chooseColor()
{
    const QColor color = QColorDialog::getColor(canvas_->customColor(), this);
    if (color.isValid())
        canvas_->setCustomColor(color);
    // A cancelled choice leaves the background as it was.
    for (int i = 0; i < 4; ++i)
        backgroundButtons_[i]->setChecked(backgrounds[i] == canvas_->background());
}

void ImageViewer::cycleBackground()
{
    // Cycles through the three fixed backgrounds and the colour chosen last.
    int next = 0;
    for (int i = 0; i < 4; ++i)
        if (backgrounds[i] == canvas_->background())
            next = (i + 1) % 4;
    canvas_->setBackground(backgrounds[next]);
    backgroundButtons_[next]->setChecked(true);
}

void ImageViewer::openCutout()
{
    const auto cutout = item_ ? FileListModel::finishedCutout(*item_) : std::nullopt;
    if (cutout && openUrl_)
        openUrl_(QUrl::fromLocalFile(pathText(*cutout)));
}

void ImageViewer::keyPressEvent(QKeyEvent* event)
{
    const bool plain = !(event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier));
    if (!plain) {
        QWidget::keyPressEvent(event);
        return;
    }
    const bool hasCutout = !canvas_->cutout().isNull();
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Escape: close(); break;
    case Qt::Key_Left: step(-1); break;
    case Qt::Key_Right: step(1); break;
    case Qt::Key_Return:
    case Qt::Key_Enter: openCutout(); break;
    case Qt::Key_B:
        if (hasCutout)
            cycleBackground();
        break;
    case Qt::Key_C:
        if (hasCutout)
            chooseColor();
        break;
    case Qt::Key_S:
        if (splitButton_->isEnabled())
            splitButton_->toggle();
        break;
    case Qt::Key_F: canvas_->fitToWindow(); break;
    case Qt::Key_1: canvas_->showActualSize(); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: canvas_->zoomBy(keyZoomStep); break;
    case Qt::Key_Minus: canvas_->zoomBy(1 / keyZoomStep); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

} // namespace pelorin
