// ImageItem: one queue row. What the file is (location, byte size, header pixel size, extension)
// is read once when the row is made; afterwards run control moves its status and records the
// cutout location and any failure or warning text. Lives on the GUI thread; the three changeable
// fields notify only when their value changes. Rows are shared by pointer, never compared.
#pragma once

#include "app/Models/ProcessingStatus.h"
#include "engine/Models/Uuid.h"

#include <QObject>
#include <QString>

#include <filesystem>
#include <optional>

namespace pelorin {

class ImageItem final : public QObject {
    Q_OBJECT
public:
    // Never fails: a missing file gives a waiting row with zero sizes; an existing file whose
    // header cannot be read gives an error row ("Could not read image metadata"). Reads the file
    // system and the image header synchronously; never decodes pixels.
    explicit ImageItem(std::filesystem::path url, QObject* parent = nullptr);

    const Uuid& id() const { return id_; }
    // The source exactly as given (not normalised).
    const std::filesystem::path& url() const { return url_; }
    qint64 originalSize() const { return originalSize_; }
    qint64 pixelWidth() const { return pixelWidth_; }
    qint64 pixelHeight() const { return pixelHeight_; }
    // The name's extension, lower-cased, without the dot; empty when there is none.
    const QString& inputFormat() const { return inputFormat_; }

    const std::optional<std::filesystem::path>& outputURL() const { return outputURL_; }
    const ProcessingStatus& status() const { return status_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }

    void setOutputURL(std::optional<std::filesystem::path> url);
    void setStatus(ProcessingStatus status);
    void setErrorMessage(std::optional<QString> message);

signals:
    void outputURLChanged();
    void statusChanged();
    void errorMessageChanged();

private:
    Uuid id_;
    std::filesystem::path url_;
    qint64 originalSize_ = 0;
    qint64 pixelWidth_ = 0;
    qint64 pixelHeight_ = 0;
    QString inputFormat_;
    std::optional<std::filesystem::path> outputURL_;
    ProcessingStatus status_;
    std::optional<QString> errorMessage_;
};

} // namespace pelorin
