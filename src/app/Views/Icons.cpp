#include "app/Views/Icons.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// Resources of a static library are not registered unless something references them.
static void ensureIconResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}

namespace pelorin::Icons {

namespace {

// Our name → freedesktop icon-naming-spec name. Status symbols are left out on purpose: themes
// draw them in their own colours, and green/orange/red must stay distinguishable.
const QHash<QString, QString>& themeNames()
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("gear"), QStringLiteral("preferences-system")},
        {QStringLiteral("scissors"), QStringLiteral("edit-cut")},
        {QStringLiteral("plus-circle"), QStringLiteral("list-add")},
        {QStringLiteral("doc"), QStringLiteral("text-x-generic")},
        {QStringLiteral("play"), QStringLiteral("media-playback-start")},
        {QStringLiteral("stop"), QStringLiteral("media-playback-stop")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
    };
    return names;
}

// Renders the SVG at any size and paints it in one colour, so it stays sharp at every scale.
class TintedSvgEngine final : public QIconEngine {
public:
    TintedSvgEngine(QString path, QColor color) : path_(std::move(path)), color_(color) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawImage(rect, render(rect.size() * ratio, mode));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override
    {
        return QPixmap::fromImage(render(size, mode));
    }

    QIconEngine* clone() const override { return new TintedSvgEngine(path_, color_); }

private:
    QImage render(const QSize& size, QIcon::Mode mode) const
    {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSvgRenderer renderer(path_);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        QColor color = color_;
        if (mode == QIcon::Disabled)
            color.setAlphaF(color.alphaF() * 0.4);
        painter.fillRect(image.rect(), color);
        return image;
    }

    QString path_;
    QColor color_;
};

} // namespace

QString resourcePath(const QString& name)
{
    return QStringLiteral(":/icons/%1.svg").arg(name);
}

QIcon named(const QString& name)
{
    ensureIconResources();
    const QString path = resourcePath(name);
    if (!QFile::exists(path))
        return {};
    const QIcon bundled(path);
    const auto themed = themeNames().constFind(name);
    if (themed == themeNames().constEnd())
        return bundled;
    return QIcon::fromTheme(*themed, bundled);
}

QIcon tinted(const QString& name, const QColor& color)
{
    ensureIconResources();
    const QString path = resourcePath(name);
    if (!QFile::exists(path))
        return {};
    return QIcon(new TintedSvgEngine(path, color));
}

} // namespace pelorin::Icons
