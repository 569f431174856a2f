#include "statistics.h"

#include <fstream>

void PrintStatistics(const sim::BusStatistics& statistics, std::FILE* out) {
  std::fprintf(out, "tovek-sim: %llu frames, %llu answered, %llu ignored, %llu with a fault",
               static_cast<unsigned long long>(statistics.frames),
               static_cast<unsigned long long>(statistics.answered),
               static_cast<unsigned long long>(statistics.ignored),
               static_cast<unsigned long long>(statistics.faults));
  for (size_t i = 1; i < statistics.byFault.size(); ++i) {
    if (statistics.byFault[i] != 0) {
      std::fprintf(out, ", %s %llu", sim::FaultName(static_cast<sim::Fault>(i)),
                   static_cast<unsigned long long>(statistics.byFault[i]));
    }
  }
  std::fprintf(out, "\n");
}

bool WriteStatisticsFile(const sim::BusStatistics& statistics, const std::string& path) {
  std::ofstream out(path);
  out << "frames " << statistics.frames << "\nanswered " << statistics.answered << "\nignored "
      << statistics.ignored << "\nfaults " << statistics.faults << "\n";
  return static_cast<bool>(out);
}
