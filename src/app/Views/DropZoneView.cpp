#include "app/Views/DropZoneView.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/Icons.h"
#include "app/Views/TextStyles.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorin {

namespace {

constexpr qreal frameInset = 20;
constexpr qreal frameRadius = 12;
constexpr qreal frameWidth = 2;
// QPen dash lengths are in pen widths: 8 px on, 4 px off at width 2.
const QList<qreal> frameDashes = {8 / frameWidth, 4 / frameWidth};
constexpr qreal idleFrameOpacity = 0.3;
constexpr qreal targetedFillOpacity = 0.05;
// The content sits inside the dashed frame.
constexpr int contentMargin = 28;
constexpr int contentSpacing = 16;
constexpr int symbolSize = 48;
constexpr int gearSize = 18;

struct AcceptedType {
    const char* label;
    QStringList extensions;
};

const QList<AcceptedType>& acceptedTypes()
{
    static const QList<AcceptedType> types = {
        {"PNG", {QStringLiteral("png")}},   {"JPEG", {QStringLiteral("jpg"), QStringLiteral("jpeg")}},
        {"HEIC", {QStringLiteral("heic")}}, {"HEIF", {QStringLiteral("heif")}},
        {"WebP", {QStringLiteral("webp")}}, {"TIFF", {QStringLiteral("tif"), QStringLiteral("tiff")}},
        {"BMP", {QStringLiteral("bmp")}},
    };
    return types;
}

// Name filters match case-sensitively on Linux, and cameras write upper-case extensions.
QStringList patterns(const QStringList& extensions)
{
    QStringList result;
    for (const QString& extension : extensions)
        result << QStringLiteral("*.") + extension << QStringLiteral("*.") + extension.toUpper();
    return result;
}

QLabel* textLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

} // namespace

QStringList DropZoneView::chooserNameFilters()
{
    QStringList all;
    QStringList filters;
    for (const AcceptedType& type : acceptedTypes()) {
        const QString pattern = patterns(type.extensions).join(QLatin1Char(' '));
        all << pattern;
        filters << QStringLiteral("%1 (%2)").arg(QLatin1String(type.label), pattern);
    }
    //: File chooser filter that shows every accepted image type
    //% "Images"
    filters.prepend(QStringLiteral("%1 (%2)").arg(qtTrId("dropzone.chooser.allImages"), all.join(QLatin1Char(' '))));
    return filters;
}

DropZoneView::DropZoneView(ProcessingViewModel* viewModel, QWidget* parent) : FileDropTarget(viewModel, parent)
{
    //: Accessibility label of the large drop zone
    //% "Drop image files here"
    setAccessibleName(qtTrId("dropzone.a11y.label"));

    const QPalette palette = this->palette();
    const QFont base = font();

    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(contentMargin, contentMargin, contentMargin, contentMargin);
    content->setSpacing(contentSpacing);

    auto* topRow = new QHBoxLayout;
    topRow->addStretch(1);
    gearButton_ = new QToolButton(this);
    gearButton_->setObjectName(QStringLiteral("dropZoneGearButton"));
    gearButton_->setAutoRaise(true);
    gearButton_->setIcon(Icons::named(QStringLiteral("gear")));
    gearButton_->setIconSize(QSize(gearSize, gearSize));
    gearButton_->setCursor(Qt::PointingHandCursor);
    //: Tooltip and accessibility label of the gear button on the large drop zone
    //% "Settings"
    const QString settingsText = qtTrId("Settings");
    gearButton_->setToolTip(settingsText);
    gearButton_->setAccessibleName(settingsText);
    connect(gearButton_, &QToolButton::clicked, this, &DropZoneView::settingsRequested);
    topRow->addWidget(gearButton_);
    content->addLayout(topRow);

    content->addStretch(1);

    auto* symbol = new QLabel(this);
    symbol->setPixmap(Icons::named(QStringLiteral("scissors")).pixmap(QSize(symbolSize, symbolSize)));
    symbol->setAlignment(Qt::AlignHCenter);
    content->addWidget(symbol);

    //: Headline of the large drop zone
    //% "Drag & drop images here"
    auto* headline =
        textLabel(qtTrId("dropzone.headline"), TextStyles::title2Font(base), palette.color(QPalette::WindowText), this);
    headline->setObjectName(QStringLiteral("dropZoneHeadline"));
    content->addWidget(headline);

    //: Separator between the drop zone's headline and its Select Files button
    //% "or"
    content->addWidget(
        textLabel(qtTrId("dropzone.or"), TextStyles::subheadlineFont(base), TextStyles::secondaryColor(palette), this));

    //: Button of the large drop zone that opens a file chooser
    //% "Select Files"
    selectFilesButton_ = new QPushButton(qtTrId("dropzone.selectFiles"), this);
    selectFilesButton_->setObjectName(QStringLiteral("selectFilesButton"));
    connect(selectFilesButton_, &QPushButton::clicked, this, &DropZoneView::showFileChooser);
    content->addWidget(selectFilesButton_, 0, Qt::AlignHCenter);

    //: Caption under the Select Files button listing the accepted formats
    //% "Accepts: PNG, JPEG, HEIC, TIFF, WebP, BMP"
    content->addWidget(textLabel(qtTrId("dropzone.supportedFormats"), TextStyles::captionFont(base),
                                 TextStyles::tertiaryColor(palette), this));

    content->addStretch(1);
}

QFileDialog* DropZoneView::fileChooser() const
{
    return fileChooser_;
}

void DropZoneView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = TextStyles::accentColor(palette());
    if (isTargeted())
        painter.fillRect(rect(), TextStyles::withOpacity(accent, targetedFillOpacity));

    // An inside stroke: the outer edge of the line lies on the inset frame.
    const qreal half = frameWidth / 2;
    const QRectF frame =
        QRectF(rect()).adjusted(frameInset + half, frameInset + half, -frameInset - half, -frameInset - half);
    QPen pen(isTargeted() ? accent : TextStyles::withOpacity(TextStyles::secondaryColor(palette()), idleFrameOpacity),
             frameWidth);
    pen.setDashPattern(frameDashes);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frame, frameRadius - half, frameRadius - half);
}

void DropZoneView::showFileChooser()
{
    if (fileChooser_) {
        fileChooser_->raise();
        fileChooser_->activateWindow();
        return;
    }
    auto* chooser = new QFileDialog(this);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    chooser->setFileMode(QFileDialog::ExistingFiles);
    chooser->setAcceptMode(QFileDialog::AcceptOpen);
    chooser->setNameFilters(chooserNameFilters());
    connect(chooser, &QFileDialog::filesSelected, this, [this](const QStringList& files) {
        std::vector<std::filesystem::path> urls;
        urls.reserve(static_cast<size_t>(files.size()));
        for (const QString& file : files)
            urls.emplace_back(QFile::encodeName(file).toStdString());
        viewModel()->addFiles(urls);
    });
    fileChooser_ = chooser;
    chooser->open();
}

} // namespace pelorin
