// MemoryTable: bodies follow.
#include "platform/axf/memory_table.h"

namespace axf {

MemoryTable::MemoryTable(const char* applName, const char* tableName, std::vector<MemoryColumn>)
    : TableManager(applName, tableName) {}
MemoryTable::~MemoryTable() { Shutdown(0); }
bool MemoryTable::addRow(const std::vector<std::string>&) { return false; }
void MemoryTable::clearRows() {}
int MemoryTable::pushEvent(const std::vector<std::string>&) { return -1; }
int MemoryTable::redriveAll() { return 0; }
std::vector<char> MemoryTable::rowImage(const std::vector<std::string>&) const { return {}; }
std::unique_ptr<plaxf> MemoryTable::CreatePlaxf(RequestDetail*, ContextInfo*) { return nullptr; }

}  // namespace axf
