// The registry of kernels chosen at run time, one way for every family.
//
// A family is one job with interchangeable kernels that must give the same
// bits: its entries in order of preference, each with what it needs of the
// CPU, and its portable kernel, which every CPU runs and every entry must
// match. A family is chosen for an instruction-set level (the active one,
// or one a test or benchmark asks for): the entries the CPU supports within
// that level are compared bit for bit with the portable kernel on synthetic
// data (one that disagrees is never used), the agreeing ones are timed in
// interleaved rounds, and the first in order of preference within
// kTimingTolerance of the fastest median is kept. With no agreeing entry the
// portable kernel is used. The clock only orders kernels whose results are
// identical, so it never reaches a result. families.h lists the families,
// instruction_sets.h the kernels each instruction set gives them.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kernels/simd.h"

namespace velmora {
namespace kernels {

// What an entry needs of the CPU: an instruction-set level and, for some,
// features besides it.
struct Requirement {
  SimdLevel level = SimdLevel::Reference;
  const char* extra = nullptr;  // the features' names, e.g. "sse4.2"
  bool (*cpu_has_extra)() = nullptr;
};

// Whether this CPU runs what `needs` names.
bool cpu_supports(const Requirement& needs);
// Whether the CPU runs it and `level` includes it.
bool allowed_at(const Requirement& needs, SimdLevel level);
// e.g. "avx2", "avx512+vbmi+vnni", "sse4.2"; empty when nothing is needed.
std::string describe(const Requirement& needs);

template <class Kernel>
struct Entry {
  const char* name = nullptr;
  Requirement needs;
  Kernel kernel{};
};

// A family's checks on its synthetic data, built only when some entry is to
// be checked.
template <class Kernel>
struct Trial {
  // Whether a kernel gives the portable kernel's results bit for bit.
  std::function<bool(const Kernel&)> agrees;
  // One run of a kernel on the timing data, in seconds.
  std::function<double(const Kernel&)> run_timed;
};

template <class Kernel>
struct Family {
  std::string name;
  std::vector<Entry<Kernel>> entries;  // in order of preference
  Entry<Kernel> portable;
  // When set, the family has no kernel at the reference level (scoring goes
  // entry by entry there), and this names that choice in reports.
  const char* none_at_reference = nullptr;
  std::function<Trial<Kernel>()> make_trial;
};

// The portable kernel, then every entry this CPU runs at any level: what
// tests and benchmarks try one by one.
template <class Kernel>
std::vector<Entry<Kernel>> entries_this_cpu_runs(const Family<Kernel>& family) {
  std::vector<Entry<Kernel>> runs = {family.portable};
  for (const Entry<Kernel>& entry : family.entries) {
    if (cpu_supports(entry.needs)) runs.push_back(entry);
  }
  return runs;
}

enum class SelfTest { NotRun, Passed, Failed };

struct CandidateReport {
  std::string name;
  std::string needs;       // describe() of its requirement
  bool supported = false;  // by this CPU
  bool allowed = false;    // supported, and within the level chosen for
  SelfTest self_test = SelfTest::NotRun;
  double median_seconds = -1.0;  // negative when not timed
  bool chosen = false;
};

struct FamilyReport {
  std::string family;
  std::string chosen;
  std::vector<CandidateReport> candidates;  // the entries in order of preference, then the portable kernel
};

template <class Kernel>
struct Choice {
  Kernel kernel{};  // empty for a family with none at the reference level
  FamilyReport report;
};

// Each round runs every candidate once, starting from a different one each
// round so that none always follows the same neighbour, and a candidate's
// time is the median of its rounds: a core shared with other work slows
// single runs by large factors, which a median of interleaved rounds
// ignores, while a slower kernel is slower in most rounds.
inline constexpr int kTimingRounds = 15;
// Candidates within this factor of the fastest median count as equally fast:
// kernels that close swap places with the noise, and keeping the preferred
// one keeps the choice stable.
inline constexpr double kTimingTolerance = 1.15;

// run(c) runs candidate c once and returns its time in seconds.
std::vector<double> median_times(std::size_t candidates, const std::function<double(std::size_t)>& run);
// The first of the medians (at least one) within kTimingTolerance of the least.
std::size_t preferred_among_fastest(const std::vector<double>& medians);

template <class Kernel>
Choice<Kernel> choose(const Family<Kernel>& family, SimdLevel level) {
  Choice<Kernel> choice;
  FamilyReport& report = choice.report;
  report.family = family.name;
  const bool none = level == SimdLevel::Reference && family.none_at_reference != nullptr;
  std::vector<std::size_t> allowed;
  for (std::size_t i = 0; i < family.entries.size(); ++i) {
    const Entry<Kernel>& entry = family.entries[i];
    CandidateReport candidate;
    candidate.name = entry.name;
    candidate.needs = describe(entry.needs);
    candidate.supported = cpu_supports(entry.needs);
    candidate.allowed = !none && allowed_at(entry.needs, level);
    if (candidate.allowed) allowed.push_back(i);
    report.candidates.push_back(candidate);
  }
  CandidateReport portable;
  portable.name = family.portable.name;
  portable.supported = true;
  portable.allowed = !none;
  report.candidates.push_back(portable);
  if (none) {
    report.chosen = family.none_at_reference;
    return choice;
  }
  if (!allowed.empty()) {
    const Trial<Kernel> trial = family.make_trial();
    std::vector<std::size_t> agreeing;
    for (std::size_t i : allowed) {
      const bool same = trial.agrees(family.entries[i].kernel);
      report.candidates[i].self_test = same ? SelfTest::Passed : SelfTest::Failed;
      if (same) agreeing.push_back(i);
    }
    if (!agreeing.empty()) {
      const std::vector<double> medians = median_times(
          agreeing.size(), [&](std::size_t c) { return trial.run_timed(family.entries[agreeing[c]].kernel); });
      for (std::size_t c = 0; c < agreeing.size(); ++c) report.candidates[agreeing[c]].median_seconds = medians[c];
      const std::size_t best = agreeing[preferred_among_fastest(medians)];
      choice.kernel = family.entries[best].kernel;
      report.candidates[best].chosen = true;
      report.chosen = family.entries[best].name;
      return choice;
    }
  }
  choice.kernel = family.portable.kernel;
  report.candidates.back().chosen = true;
  report.chosen = family.portable.name;
  return choice;
}

// A family's choice at each level, made on first use and kept for the
// process.
template <class Kernel>
class ChoicePerLevel {
 public:
  template <class MakeFamily>
  const Choice<Kernel>& at(SimdLevel level, MakeFamily&& make_family) {
    const auto l = static_cast<std::size_t>(level);
    std::call_once(once_[l], [&] { chosen_[l] = choose(make_family(), level); });
    return chosen_[l];
  }

 private:
  std::once_flag once_[kSimdLevelCount];
  Choice<Kernel> chosen_[kSimdLevelCount];
};

}  // namespace kernels
}  // namespace velmora
