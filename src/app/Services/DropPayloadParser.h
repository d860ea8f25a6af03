// DropPayloadParser: the local files named by a drag-and-drop payload (its text/uri-list).
// Items that are not local files are ignored without a message. Pure function over the payload;
// call it on the thread that owns the QMimeData (the GUI thread during a drop).
//
// Chosen files need no access bracketing on Linux: there is no per-file grant to take or release,
// so the chooser hands its paths straight to intake.
#pragma once

#include <filesystem>
#include <vector>

class QMimeData;

namespace pelorin::DropPayloadParser {

// In the order the payload lists them (the order the items arrive); duplicates are kept, since
// intake de-duplicates.
std::vector<std::filesystem::path> fileURLs(const QMimeData& payload);

} // namespace pelorin::DropPayloadParser
