#include "app/Cli/CliReporter.h"

#include <QFile>

namespace pelorin::cli {

QString displayPath(const std::filesystem::path& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

} // namespace pelorin::cli
