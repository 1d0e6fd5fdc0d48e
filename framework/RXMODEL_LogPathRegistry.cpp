// The registry of stored-log paths.
#include "framework/RXMODEL_LogPathRegistry.h"

namespace nivex {

LogList<Modellogpath>& LogFileListInstance() {
  static LogList<Modellogpath>* list = new LogList<Modellogpath>();
  return *list;
}

void LogFileListInit() { LogFileList->clearAll(); }

}  // namespace nivex
