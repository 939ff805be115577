// The documents' text protocols, turned into the engine's values and back:
// the ten-field filter text, the selection of a recovery (result indices and
// folders of the result tree named as "V:\\folder"), and file rows as the
// positional values the documents take.
#pragma once

#include "browse/FileRow.h"
#include "browse/Filters.h"
#include "browse/ScriptValue.h"
#include "recover/RecoveryWriter.h"

#include <string>
#include <vector>

namespace bridge {

// "Pictures,Documents,Videos,Audio,Emails,StartSize,EndSize,StartTime,
// EndTime,ScanName": category codes, sizes in bytes, the age limit in
// hours; the start time is not used. False for a text of fewer fields.
bool ParseFilterText(const std::string& text, browse::Filter& filter);
// The pieces between commas; the piece after the last comma is always there.
std::vector<std::string> SplitByComma(const std::string& text);

// A selection as the documents send it: numbers are result indices, texts
// folders of the result tree under a drive ("V:" the whole tree, "V:\\a\\b"
// the folder a\b and what is below it). Other values are left out.
recover::Selection SelectionFromScript(const std::vector<browse::ScriptValue>& values);

// The rows as the documents take them (see browse::RowValue).
std::vector<browse::ScriptValue> RowValues(std::vector<browse::FileRow> rows);

}  // namespace bridge
