#include "app/Cli/TextReporter.h"

#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pelorin::cli {

namespace {

int terminalColumns(std::FILE* stream)
{
    winsize size{};
    if (::ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void writeRaw(std::FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// A file name may hold any byte but "/" and NUL: a newline or an escape sequence in one must
// neither split a row's line (and forge another) nor drive the terminal.
QString withControlsEscaped(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            escaped += QStringLiteral("\\n");
        else if (u == u'\t')
            escaped += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            escaped += QStringLiteral("\\x%1").arg(static_cast<int>(u), 2, 16, QChar('0'));
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

TextReporter::TextReporter(bool liveProgress, bool stdoutIsTerminal, std::FILE* out, std::FILE* err)
    : live_(liveProgress),
      stdoutIsTerminal_(stdoutIsTerminal),
      out_(out),
      err_(err)
{
}

QString TextReporter::clockDuration(double seconds)
{
    const auto total = static_cast<long long>(std::max(0.0, std::floor(seconds)));
    const long long hours = total / 3600, minutes = (total / 60) % 60, secs = total % 60;
    if (hours > 0)
        return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QChar('0')).arg(secs, 2, 10, QChar('0'));
    return QStringLiteral("%1:%2").arg(minutes).arg(secs, 2, 10, QChar('0'));
}

QString TextReporter::shortDuration(double seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(std::max(0.0, seconds), 0, 'f', 1);
    return clockDuration(seconds);
}

QString TextReporter::summaryLine(const RunSummary& summary)
{
    return QStringLiteral("%1 images in %2: %3 completed, %4 with warning, %5 failed, %6 cancelled "
                          "(%7 images per minute)")
        .arg(summary.total())
        .arg(shortDuration(summary.elapsedSeconds))
        .arg(summary.completed)
        .arg(summary.completedWithWarning)
        .arg(summary.failed)
        .arg(summary.cancelled)
        .arg(summary.imagesPerMinute(), 0, 'f', 1);
}

void TextReporter::runStarted(const RunProgress& progress)
{
    lastProgress_ = progress;
    if (live_)
        drawProgress(progress);
}

void TextReporter::rowChanged(const RowEvent& event, const RunProgress& progress)
{
    lastProgress_ = progress;
    if (event.isTerminal()) {
        const bool problem = event.kind == RowEvent::Kind::failed || event.kind == RowEvent::Kind::completedWithWarning;
        // On a shared terminal the progress line already counts plain outcomes.
        if (!live_ || !stdoutIsTerminal_ || problem) {
            clearProgress();
            writeLine(out_, withControlsEscaped(rowLine(event, progress)));
        }
    }
    if (live_)
        drawProgress(progress);
}

void TextReporter::tick(const RunProgress& progress)
{
    lastProgress_ = progress;
    if (live_)
        drawProgress(progress);
}

void TextReporter::cancelling()
{
    cancelling_ = true;
    clearProgress();
    writeLine(err_,
              QStringLiteral("Cancelling: unfinished images are stopped and their partial files removed. "
                             "Press Ctrl-C again to quit at once."));
    if (live_)
        drawProgress(lastProgress_);
}

void TextReporter::runFinished(const RunSummary& summary)
{
    clearProgress();
    writeLine(out_, summaryLine(summary));
}

QString TextReporter::rowLine(const RowEvent& event, const RunProgress& progress) const
{
    const QString counter = QStringLiteral("[%1/%2]").arg(progress.finished).arg(progress.total);
    const QString source = displayPath(event.source);
    const QString output = event.output ? displayPath(*event.output) : QString();
    switch (event.kind) {
    case RowEvent::Kind::completed: return QStringLiteral("%1 completed  %2 -> %3").arg(counter, source, output);
    case RowEvent::Kind::completedWithWarning:
        return QStringLiteral("%1 warning    %2 -> %3: %4").arg(counter, source, output, event.message);
    case RowEvent::Kind::failed: return QStringLiteral("%1 failed     %2: %3").arg(counter, source, event.message);
    case RowEvent::Kind::cancelled: return QStringLiteral("%1 cancelled  %2").arg(counter, source);
    case RowEvent::Kind::started: break;
    }
    return QStringLiteral("%1 started    %2").arg(counter, source);
}

void TextReporter::drawProgress(const RunProgress& progress)
{
    const int percent = progress.total > 0 ? progress.finished * 100 / progress.total : 0;
    QString line = QStringLiteral("[%1/%2] %3%").arg(progress.finished).arg(progress.total).arg(percent);
    if (progress.currentFile)
        line += QStringLiteral(" | ") + displayPath(progress.currentFile->filename());
    line += QStringLiteral(" | %1 elapsed").arg(clockDuration(progress.elapsedSeconds));
    if (cancelling_) {
        line += QStringLiteral(" | cancelling");
    } else if (progress.finished > 0 && progress.finished < progress.total) {
        // Finished rows so far set the pace; concurrency is already inside that average.
        const double eta = progress.elapsedSeconds / progress.finished * (progress.total - progress.finished);
        line += QStringLiteral(" | ETA %1").arg(clockDuration(eta));
    } else if (progress.finished == 0) {
        line += QStringLiteral(" | ETA --:--");
    }
    line = withControlsEscaped(line);
    // A line wider than the terminal wraps, and "\r" would then redraw only its last part.
    const int columns = terminalColumns(err_) - 1;
    if (line.size() > columns)
        line = line.left(std::max(0, columns - 1)) + QChar(0x2026);
    writeRaw(err_, "\r\x1b[K" + line.toUtf8());
    progressShown_ = true;
}

void TextReporter::clearProgress()
{
    if (!progressShown_)
        return;
    writeRaw(err_, "\r\x1b[K");
    progressShown_ = false;
}

void TextReporter::writeLine(std::FILE* stream, const QString& line)
{
    writeRaw(stream, (line + QLatin1Char('\n')).toUtf8());
}

} // namespace pelorin::cli
