// Round trips of several statements: libpq's pipeline mode, and the
// statements each connection has prepared.
#include "store/postgres_link.h"

#include <libpq-events.h>

#include <algorithm>

namespace collector {
namespace pg {

Result Lease::run(int statement, const std::vector<std::string>& params) {
  std::vector<Result> results;
  std::string ignored;
  exchange({Step{statement, params}}, results, ignored);
  return std::move(results.front());
}

namespace {

// Which statements are prepared on a connection: its instance data, freed
// with the connection.
int preparedEvents(PGEventId event, void* info, void*) {
  if (event == PGEVT_CONNDESTROY) {
    PGconn* connection = static_cast<PGEventConnDestroy*>(info)->conn;
    delete static_cast<std::vector<bool>*>(PQinstanceData(connection, preparedEvents));
  }
  return 1;
}

std::vector<bool>* preparedOn(PGconn* connection, std::size_t count) {
  auto* prepared = static_cast<std::vector<bool>*>(PQinstanceData(connection, preparedEvents));
  if (prepared) return prepared;
  if (!PQregisterEventProc(connection, preparedEvents, "vorn prepared statements", nullptr)) {
    return nullptr;
  }
  prepared = new std::vector<bool>(count);
  if (!PQsetInstanceData(connection, preparedEvents, prepared)) {
    delete prepared;
    return nullptr;
  }
  return prepared;
}

// Sends one step, preceded by its statement's preparation when the
// connection lacks it; `answers` gets what each result sent belongs to:
// the step's index, or -1 - the statement's for a preparation.
bool sendStep(PGconn* connection, const Link& link, const Step& step, int index,
              std::vector<bool>& prepared, std::vector<int>& answers) {
  if (step.statement < 0) {
    answers.push_back(index);
    return PQsendQueryParams(connection, step.sql, 0, nullptr, nullptr, nullptr, nullptr, 0);
  }
  const Prepared& statement = link.statement(step.statement);
  if (!prepared[step.statement] &&
      std::find(answers.begin(), answers.end(), -1 - step.statement) == answers.end()) {
    answers.push_back(-1 - step.statement);
    if (!PQsendPrepare(connection, statement.name, statement.sql, 0, nullptr)) return false;
  }
  std::vector<const char*> values;
  for (const std::string& param : step.params) values.push_back(param.c_str());
  answers.push_back(index);
  return PQsendQueryPrepared(connection, statement.name, static_cast<int>(values.size()),
                             values.data(), nullptr, nullptr, 0);
}

}  // namespace

bool Lease::exchange(const std::vector<Step>& steps, std::vector<Result>& results,
                     std::string& error) {
  results.clear();
  for (std::size_t i = 0; i < steps.size(); ++i) results.emplace_back(nullptr, &PQclear);
  std::vector<bool>* prepared = preparedOn(connection, link.count_);
  std::vector<int> answers;
  bool sent = prepared && PQenterPipelineMode(connection);
  for (std::size_t i = 0; sent && i < steps.size(); ++i) {
    sent = sendStep(connection, link, steps[i], static_cast<int>(i), *prepared, answers);
  }
  if (!sent || !PQpipelineSync(connection)) {
    error = "PostgreSQL: " + firstLine(PQerrorMessage(connection));
    return false;
  }
  // Each statement's answer, then the pipeline's end. A step that was not
  // run (after an earlier error) is answered PGRES_PIPELINE_ABORTED.
  error.clear();
  bool answered = true;
  for (std::size_t i = 0; answered && i < answers.size(); ++i) {
    Result result = awaitResult(connection, deadline);
    answered = result != nullptr;
    const bool ok = succeeded(result);
    if (!ok && error.empty() && PQresultStatus(result.get()) != PGRES_PIPELINE_ABORTED) {
      check(result, error);
    }
    if (answers[i] < 0) {
      if (ok) (*prepared)[-1 - answers[i]] = true;
    } else if (ok || PQresultStatus(result.get()) == PGRES_FATAL_ERROR) {
      results[answers[i]] = std::move(result);
    }
  }
  answered = answered && awaitResult(connection, deadline) != nullptr &&
             PQexitPipelineMode(connection);
  if (!answered && error.empty()) {
    error = "PostgreSQL did not answer in time, or the connection broke";
  }
  return answered && error.empty();
}

}  // namespace pg
}  // namespace collector
