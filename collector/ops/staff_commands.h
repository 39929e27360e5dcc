// `vorn-collector staff add|list|role|remove` and `vorn-collector audit`: the
// staff console's people, and the record of what everyone changed.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "store/store.h"

namespace collector {

struct StaffCommands {
  CLI::App* add = nullptr;
  CLI::App* list = nullptr;
  CLI::App* role = nullptr;
  CLI::App* remove = nullptr;
  CLI::App* audit = nullptr;
  std::string name;   // add, role, remove
  std::string title;  // add --role, role ROLE
  std::string since;  // audit --since
  bool csv = false;   // audit --csv
};

void addStaffCommands(CLI::App& app, StaffCommands& staff, std::string& db);
bool staffCommandGiven(const StaffCommands& staff);
int runStaffCommand(Store& store, const StaffCommands& staff);

// Records a change made from the shell in the audit, as `shell`; says on
// standard error when that failed (the change stands).
void auditShell(Store& store, const std::string& kind, const std::string& what);

// Where a one-time link's PATH is opened: the service's public URL in front
// when its defaults file names one, else the path and how to complete it.
std::string linkText(const std::string& path);

}  // namespace collector
