// Gathers the rows of the handler families into one table.
#include "handlers/command_table.h"

#include <vector>

#include "handlers/files.h"
#include "handlers/listing.h"
#include "handlers/network.h"
#include "handlers/programs.h"
#include "handlers/textlog.h"

HandlerRows HandlerCommandRows() {
  static const std::vector<HandlerRow> rows = [] {
    std::vector<HandlerRow> all;
    for (HandlerRows family : {FileCommandRows(), ListingCommandRows(), TextLogCommandRows(),
                               ProgramCommandRows(), NetworkCommandRows()}) {
      all.insert(all.end(), family.begin(), family.end());
    }
    return all;
  }();
  return rows;
}
