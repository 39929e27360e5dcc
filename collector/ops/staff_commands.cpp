#include "ops/staff_commands.h"

#include <iostream>

#include "core/calendar.h"
#include "core/staff.h"
#include "core/text.h"
#include "ops/command.h"
#include "ops/database.h"
#include "ops/defaults.h"

namespace collector {

namespace {

const char* const rolesHelp = "owner, reviewer, events or members";

CLI::Validator roleCheck() {
  return CLI::Validator(
      [](std::string& role) {
        return isStaffRole(role) ? std::string() : std::string("a role is ") + rolesHelp;
      },
      "ROLE");
}

int addStaff(Store& store, const StaffCommands& staff) {
  const std::string problem = staffNameProblem(staff.name);
  if (!problem.empty()) return failure(2, "no staff member added: " + problem);
  std::string error, token;
  const std::int64_t now = wallClockMs();
  if (!store.addStaff(staff.name, staff.title, now, error) ||
      !makeLink(store, "staff", staff.name, "", now, staffLinkMs, token, error)) {
    return failure(1, error);
  }
  auditShell(store, "staff_add", staff.name + " as " + staff.title);
  std::cout << "added " << staff.name << " as " << staff.title
            << "; the link where they choose their password (valid 24 hours, once):\n"
            << linkText("/staff/welcome/" + token) << std::endl;
  return 0;
}

int listStaff(Store& store) {
  std::vector<StaffMember> all;
  std::string error;
  if (!store.listStaff(all, error)) return failure(1, error);
  for (const StaffMember& member : all) {
    std::cout << member.name << '\t' << member.role << "\tadded " << isoTime(member.createdMs)
              << (member.hasPassword ? "" : "\tno password yet") << '\n';
  }
  return 0;
}

int changeStaff(Store& store, const StaffCommands& staff, bool remove) {
  std::string error;
  if (!store.changeStaff(staff.name, remove ? "" : staff.title, error)) return failure(1, error);
  auditShell(store, remove ? "staff_remove" : "staff_role",
             remove ? staff.name : staff.name + " to " + staff.title);
  std::cout << (remove ? "removed " + staff.name : staff.name + " is now " + staff.title)
            << "; their sessions have ended\n";
  return 0;
}

int listAudit(Store& store, const StaffCommands& staff) {
  AuditFilter filter;
  std::int64_t day = 0;
  if (!staff.since.empty()) {
    if (!parseDay(staff.since, day)) {
      return failure(2, "--since wants YYYY-MM-DD, got '" + staff.since + "'");
    }
    filter.sinceMs = day * msPerDay;
  }
  filter.limit = auditKeepCount;
  std::vector<AuditEntry> entries;
  std::string error;
  if (!store.listAudit(filter, entries, error)) return failure(1, error);
  std::cout << (staff.csv ? "time,who,address,kind,what\n" : "time\twho\taddress\tkind\twhat\n");
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (staff.csv) {
      std::cout << isoTime(it->atMs) << ',' << csvField(it->who) << ',' << csvField(it->address)
                << ',' << csvField(it->kind) << ',' << csvField(it->what) << '\n';
    } else {
      std::cout << isoTime(it->atMs) << '\t' << terminalSafe(it->who) << '\t'
                << terminalSafe(it->address) << '\t' << it->kind << '\t' << terminalSafe(it->what)
                << '\n';
    }
  }
  return 0;
}

}  // namespace

void addStaffCommands(CLI::App& app, StaffCommands& staff, std::string& db) {
  auto* command = app.add_subcommand("staff", "the staff console's people and their roles");
  command->require_subcommand(1);
  staff.add = command->add_subcommand(
      "add", "add a staff member and print the one-time link where they choose their password");
  staff.add->add_option("--role", staff.title, rolesHelp)->required()->check(roleCheck());
  staff.list = command->add_subcommand("list", "list the staff");
  staff.role = command->add_subcommand("role", "change a member's role; ends their sessions");
  staff.remove = command->add_subcommand("remove", "remove a member; ends their sessions");
  for (CLI::App* sub : {staff.add, staff.role, staff.remove}) {
    sub->add_option("NAME", staff.name, "the member's name")->required();
  }
  // The role after the name: staff role NAME ROLE.
  staff.role->add_option("ROLE", staff.title, rolesHelp)->required()->check(roleCheck());
  staff.audit = app.add_subcommand("audit", "who changed what, and when, the oldest first");
  staff.audit->add_option("--since", staff.since, "only from this UTC day on")
      ->type_name("YYYY-MM-DD");
  staff.audit->add_flag("--csv", staff.csv, "write CSV rather than a table");
  for (CLI::App* sub : {staff.add, staff.list, staff.role, staff.remove, staff.audit}) {
    addDatabaseOption(*sub, db);
  }
}

bool staffCommandGiven(const StaffCommands& staff) {
  return staff.add && (staff.add->parsed() || staff.list->parsed() || staff.role->parsed() ||
                       staff.remove->parsed() || staff.audit->parsed());
}

int runStaffCommand(Store& store, const StaffCommands& staff) {
  if (staff.add->parsed()) return addStaff(store, staff);
  if (staff.list->parsed()) return listStaff(store);
  if (staff.audit->parsed()) return listAudit(store, staff);
  return changeStaff(store, staff, staff.remove->parsed());
}

void auditShell(Store& store, const std::string& kind, const std::string& what) {
  std::string error;
  if (!recordAudit(store, {wallClockMs(), "shell", "", kind, what}, error)) {
    failure(1, "the change stands, but the audit did not record it: " + error);
  }
}

std::string linkText(const std::string& path) {
  const std::string publicUrl = servicePublicUrl(serviceDefaultsFile);
  if (!publicUrl.empty()) return publicUrl + path;
  return "(the collector's address, then) " + path;
}

}  // namespace collector
