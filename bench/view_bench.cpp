// view_bench: what one redraw of the station's live view costs: 128 slots in 80x24 (the grid)
// and 16 slots (a row each), every kind of slot shown, standard output on /dev/null.
//
//   view_bench [REDRAWS]
//
// The view is drawn as on a terminal (colour on) with the station's own code, linked whole; the
// CPU time per redraw is what the station's loop spends on it.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "station/station.h"
#include "summary.h"

namespace {

Station g_grid;  // large: not on the stack
Station g_rows;

double CpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// A bench in mid-run: boxes in each stage, held passes and failures, a marked slot, labels.
void Fill(Station* s, int slots) {
  s->slot_count = slots;
  s->label_mode = kLabelOptional;
  s->sdf_name = "update.sdf";
  static char ports[kMaxSlots][32];
  for (int i = 0; i < slots; ++i) {
    Slot& slot = s->slots[i];
    std::snprintf(ports[i], sizeof ports[i], "/dev/serial/by-id/usb-FTDI_%02d", i + 1);
    slot.port = ports[i];
    std::snprintf(slot.label, sizeof slot.label, "SN%06d", 4000 + i);
    slot.seq = 1;
    slot.progress.sdf_kb = 1024;
    switch (i % 4) {
      case 0:
        slot.running = true;
        slot.progress.stage = kStageSdf;
        slot.progress.kb = 8 * i;
        break;
      case 1:
        slot.running = true;
        slot.progress.stage = kStageFirmware;
        slot.progress.kb = i % 12;
        break;
      case 2:
        slot.done = 1;
        slot.result.result = kStageUpdated;
        break;
      default:
        slot.done = 1;
        slot.result.result = kStageFailed;
        slot.progress.line_category = kCategoryBlockRefused;
        std::snprintf(slot.progress.failure, sizeof slot.progress.failure, "SendSDFFile... BAD");
        slot.marked = i % 8 == 7;
        break;
    }
  }
  s->picked = slots > 5 ? 5 : -1;
  s->slots[5].running = false;
  std::snprintf(s->notice, sizeof s->notice, "slot 6: waiting for its label (an empty line for none)");
}

double RedrawUs(Station* s, int slots, int redraws) {
  Fill(s, slots);
  ViewBegin(s);
  s->terminal = true;
  s->colour = true;
  ViewUpdate(s, true);
  const double start = CpuUs();
  for (int i = 0; i < redraws; ++i) {
    ViewUpdate(s, true);
  }
  return (CpuUs() - start) / redraws;
}

}  // namespace

int main(int argc, char** argv) {
  const int redraws = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (std::freopen("/dev/null", "w", stdout) == nullptr || redraws <= 0) {
    std::fprintf(stderr, "usage: view_bench [REDRAWS]\n");
    return 2;
  }
  const double grid = RedrawUs(&g_grid, 128, redraws);
  const double rows = RedrawUs(&g_rows, 16, redraws);
  std::fprintf(stderr, "  one redraw, 128 slots in 80x24 (grid): %.1f us of CPU\n", grid);
  std::fprintf(stderr, "  one redraw, 16 slots (a row each): %.1f us of CPU\n", rows);
  // Four redraws a second at most: the share of a core the view can take.
  SummaryRow("9. station: one redraw, 128 slots in 80x24", "none set", "", "%.1f us (%.3f %% of a core at 4 a second)",
             grid, grid * 4 / 1e4);
  return 0;
}
