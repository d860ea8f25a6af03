// ImageItem: one queue row. What the file is (location, byte size, extension) is known when the
// row is made; its header pixel size is read on a worker thread and arrives shortly after, so that
// queuing a thousand photos never waits on the disk. Run control moves its status and records the
// cutout location and any failure or warning text. Lives on the GUI thread; the three changeable
// fields notify only when their value changes. Rows are shared by pointer, never compared.
#pragma once

#include "app/Models/ProcessingStatus.h"
#include "engine/Common/Uuid.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <filesystem>
#include <optional>

namespace pelorin {

class ImageItem final : public QObject {
    Q_OBJECT
public:
    // Never fails and never reads the file's content here: a missing file gives a waiting row
    // with zero sizes; for an existing file the header is read off the GUI thread, and one whose
    // header cannot be read becomes an error row ("Could not read image metadata") unless a run
    // has taken the row by then. Never decodes pixels.
    explicit ImageItem(std::filesystem::path url, QObject* parent = nullptr);
    ~ImageItem() override;

    const Uuid& id() const { return id_; }
    // The source exactly as given (not normalised).
    const std::filesystem::path& url() const { return url_; }
    qint64 originalSize() const { return originalSize_; }
    // 0 until the header has been read, and for a file whose header cannot be read.
    qint64 pixelWidth() const { return pixelWidth_; }
    qint64 pixelHeight() const { return pixelHeight_; }
    // From construction until headerRead(); never for a missing file.
    bool isReadingHeader() const { return readingHeader_; }
    // The name's extension, lower-cased, without the dot; empty when there is none.
    const QString& inputFormat() const { return inputFormat_; }

    const std::optional<std::filesystem::path>& outputURL() const { return outputURL_; }
    // Where the row's mask sidecar goes: set when a run takes the row with masks on, cleared when
    // the sidecar was not written (a warning, a failure, a cancel). Changes without a signal: it
    // moves only together with the status.
    const std::optional<std::filesystem::path>& maskURL() const { return maskURL_; }
    void setMaskURL(std::optional<std::filesystem::path> url) { maskURL_ = std::move(url); }
    const ProcessingStatus& status() const { return status_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }

    void setOutputURL(std::optional<std::filesystem::path> url);
    void setStatus(ProcessingStatus status);
    void setErrorMessage(std::optional<QString> message);
    // Start has handed the row to a run: from now on only the run moves its status, so a header
    // read still under way no longer turns it into an error row.
    void markQueued() { queued_ = true; }

signals:
    // The header read has ended, read or not; sizes and status are already set.
    void headerRead();
    void outputURLChanged();
    void statusChanged();
    void errorMessageChanged();

private:
    struct PixelSize {
        qint64 width = 0;
        qint64 height = 0;
    };
    void readHeader();
    void headerArrived();

    Uuid id_;
    std::filesystem::path url_;
    qint64 originalSize_ = 0;
    qint64 pixelWidth_ = 0;
    qint64 pixelHeight_ = 0;
    QString inputFormat_;
    std::optional<std::filesystem::path> outputURL_;
    std::optional<std::filesystem::path> maskURL_;
    ProcessingStatus status_;
    std::optional<QString> errorMessage_;
    bool readingHeader_ = false;
    bool queued_ = false;
    QFutureWatcher<PixelSize> headerWatcher_;
};

} // namespace pelorin
