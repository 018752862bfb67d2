#include "RecvOptions.h"

#include <string>
#include <vector>

namespace kest_md_recv {

Options ParseOptions(int argc, char** argv) {
    Options opt;
    kest_tools::ToolOptions opts(
        kTool, "CONFIG [OPTION]...",
        "Receives the quotes of the channel that the configuration file CONFIG names, through the library's\n"
        "public interface, the way an application does: a live table once a second (on a terminal), "
        "optional\n"
        "CSV or binary records, and on exit a per-instrument summary with poll-to-delivery latencies.\n"
        "SIGINT or SIGTERM ends the run (the library takes these signals over).");
    opts.Flag("buffer", "buffer mode: KestStart(path) and KestRecv(record);\ndefault: callback mode",
              &opt.buffer);
    opts.Whole("seconds", "N",
               "stop after N seconds, 1 to 31536000, counted from the start\n"
               "of the run: a start that has not finished by then is\n"
               "stopped too (default: run until SIGINT/SIGTERM)",
               &opt.seconds, 1, 31536000);
    opts.Text("record", "FILE",
              "record every quote with its arrival time to FILE in the\n"
              "recording format (" KEST_RECORDING_FORMAT_DOC
              "),\n"
              "for kest-record, the Python module kest_records and\n"
              "kest-card-sim --replay",
              &opt.record);
    opts.Whole("record-rotate-mb", "N",
               "with --record: start FILE.1, FILE.2, ... before a file\nwould pass N MiB, 1 to 1048576",
               &opt.rotateMb, 1, 1048576);
    opts.Whole("record-rotate-s", "S",
               "with --record: start the next file once a file spans\nS seconds of arrivals, 1 to 604800",
               &opt.rotateSeconds, 1, 604800);
    opts.Flag("record-compress", "with --record: zstd-compress each block\n(about 3x smaller)",
              &opt.recordCompress);
    opts.Text("csv", "FILE",
              "write every quote as a CSV line to FILE: arrival in ns since\n"
              "the epoch (UTC), trading date, prices in yuan, volumes in\n"
              "lots; the header line names each column's unit",
              &opt.csv);
    opts.Text("bin", "FILE",
              "write every quote as its bare 152-byte record to FILE\n(no header, no times: prefer --record)",
              &opt.bin);
    opts.Flag("quiet", "no live table", &opt.quiet);
    opts.Whole("stale-ms", "MS",
               "count a quote as stale when its exchange time is more than\n"
               "MS milliseconds behind the host's local time on arrival\n"
               "(a backlog drained after a restart), 0 (no check) to\n"
               "86400000 (default 3000)",
               &opt.staleMs, 0, 86400000);
    opts.Whole("rows", "N", "rows of the live table, 1 to 10000 (default 30)", &opt.rows, 1, 10000);
    opts.Custom("metrics", "ADDR:PORT",
                "serve Prometheus metrics at http://ADDR:PORT/metrics from a\n"
                "thread of their own; :PORT listens on 127.0.0.1, PORT 0\n"
                "takes a free port (named on standard error)",
                [&opt](const char* text) {
                    opt.metrics = true;
                    return kest_tools::ParseListenAddress(text, opt.metricsAt);
                });
    opts.Flag("force",
              "start with a file that kest-config-check calls DANGEROUS\n"
              "or START FAILS (refused otherwise, before the card is\n"
              "touched)",
              &opt.force);
    opts.Epilogue(
        "The library writes kest_u50_YYYYMMDD_HHMMSS.log in the working directory and mirrors each line on\n"
        "standard output. The card model is looked for in the namespace KEST_CARDSIM_NAMESPACE names.\n"
        "Exit status: 0 after a run, 1 when the start failed, the library or the card's library cannot be\n"
        "loaded or an output file cannot be written, 2 bad arguments or a configuration file refused.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (operands.empty()) opts.Fail("needs the configuration file CONFIG (see kest-md-recv --help)");
    if (operands.size() > 1) opts.Fail("unexpected argument '" + operands[1] + "' (see kest-md-recv --help)");
    if ((opts.Given("record-rotate-mb") || opts.Given("record-rotate-s") || opt.recordCompress) &&
        opt.record.empty())
        opts.Fail("--record-rotate-mb, --record-rotate-s and --record-compress need --record FILE");
    opt.config = operands[0];
    return opt;
}

}  // namespace kest_md_recv
