// varnel-bridge: publish a live graph over DDS, or mirror one into a local region.
#include <CLI/CLI.hpp>

#include <csignal>
#include <exception>
#include <iostream>

#include "bridge.hpp"

namespace varnel::bridge {
std::atomic<bool> g_stop{false};
}

namespace {
void on_signal(int) { varnel::bridge::g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "varnel-bridge: mirrors a live graph to other computers over DDS (Fast DDS).\n"
      "  varnel-bridge publish   on the computer of the host: sends every publication of the region\n"
      "  varnel-bridge mirror    on another computer: writes them into a local region, where the\n"
      "                          library, the inspector and the Python module read them as usual\n"
      "Transports, interfaces and peers come from Fast DDS's XML profile named by\n"
      "FASTRTPS_DEFAULT_PROFILES_FILE (default: Fast DDS's built-in UDP with multicast discovery)."};
  app.require_subcommand(1);
  varnel::bridge::Options options;
  const auto common = [&](CLI::App* command, const char* region_help) {
    command->add_option("--region", options.region, region_help);
    command->add_option("--domain", options.domain, "DDS domain id (0..232)")->check(CLI::Range(0, 232));
    command->add_option("--status", options.status_seconds,
                        "Seconds between progress lines; 0 for none")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--duration", options.duration, "Seconds to run; 0 runs until Ctrl-C")
        ->check(CLI::NonNegativeNumber);
  };
  CLI::App* publish = app.add_subcommand(
      "publish", "Read the region like any reader (the host is never slowed or changed) and "
                 "publish each committed publication");
  common(publish, "Region to read (default \"KnowledgeGraph\")");
  publish->add_option("--poll-us", options.poll_micros,
                      "Microseconds between looks at the region when no commit wakes it (a clear "
                      "keeps the last update and wakes no one)")
      ->check(CLI::Range(10, 1'000'000));
  publish->add_option("--busy-us", options.busy_micros,
                      "Microseconds after a change during which it looks at the region every "
                      "--busy-poll-us instead (for regions whose commits wake no one: publications "
                      "come in bursts); 0, the default, turns this off")
      ->check(CLI::Range(0, 10'000'000));
  publish->add_option("--busy-poll-us", options.busy_poll_micros,
                      "Microseconds between looks shortly after a change; 0 looks again as soon as "
                      "the processor is free (lowest latency, costs a core while busy)")
      ->check(CLI::Range(0, 1'000'000));
  publish->add_option("--name", options.name,
                      "Name of this source, which mirrors follow (default REGION@HOST); a restarted "
                      "publisher keeps its mirrors by keeping its name");
  CLI::App* mirror = app.add_subcommand(
      "mirror", "Take the writer's place in a local region and apply the publisher's stream to it");
  common(mirror, "Region to write (default \"KnowledgeGraph\"; another name to mirror beside a "
                 "host on the same computer)");
  mirror->add_option("--source", options.source,
                     "Name of the source to follow (publish --name, default REGION@HOST); without "
                     "it, the first source heard from. Other sources on the domain are ignored");
  CLI11_PARSE(app, argc, argv);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  try {
    return publish->parsed() ? varnel::bridge::run_publisher(options)
                             : varnel::bridge::run_mirror(options);
  } catch (const std::exception& error) {
    std::cerr << "varnel-bridge: " << error.what() << std::endl;
    return 1;
  }
}
