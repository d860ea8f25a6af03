// ProcessingStatus: where one queue row stands. Only completed counts as done; cancelled and error
// rows go back to waiting on the next Start. Equal when the case and (for error) the text match.
#pragma once

#include <QMetaType>
#include <QString>

namespace pelorin {

class ProcessingStatus {
public:
    enum class Kind { waiting, processing, completed, cancelled, error };

    ProcessingStatus() = default;
    static ProcessingStatus waiting() { return ProcessingStatus(Kind::waiting, {}); }
    static ProcessingStatus processing() { return ProcessingStatus(Kind::processing, {}); }
    static ProcessingStatus completed() { return ProcessingStatus(Kind::completed, {}); }
    static ProcessingStatus cancelled() { return ProcessingStatus(Kind::cancelled, {}); }
    static ProcessingStatus error(QString message) { return ProcessingStatus(Kind::error, std::move(message)); }

    Kind kind() const { return kind_; }
    // The reason of an error status; empty for the other cases.
    const QString& message() const { return message_; }

    friend bool operator==(const ProcessingStatus&, const ProcessingStatus&) = default;

private:
    ProcessingStatus(Kind kind, QString message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_ = Kind::waiting;
    QString message_;
};

} // namespace pelorin

Q_DECLARE_METATYPE(pelorin::ProcessingStatus)
