#include "dump/DumpRecord.h"

namespace sondrel {

// Stand-in until the dump lands.
DumpResult DumpRecordData(const VolumeContext&, std::int32_t, const std::string&) { return {}; }

}  // namespace sondrel
