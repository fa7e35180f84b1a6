// demo-release: writes the demo's releases into the update server's releases folder.
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "demo/demorelease.h"

int main(int argc, char* argv[]) {
  namespace po = boost::program_options;
  std::string out;
  std::vector<int> numbers;
  std::uint64_t seed = demo::kDefaultSeed;
  std::string game;
  po::options_description description("demo-release: writes demo releases for aus-server");
  description.add_options()("help", "show this text and exit")("out", po::value(&out)->required(),
                                                               "the server's releases folder")(
      "release", po::value(&numbers)->required(), "release number (1, 2, ...); may repeat")(
      "seed", po::value(&seed)->default_value(seed), "seed of the pseudo-random contents")(
      "game", po::value(&game), "the game client to ship as bin/Kolvex.exe");
  try {
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, description), values);
    if (values.count("help")) {
      std::cout << description << '\n';
      return 0;
    }
    po::notify(values);
  } catch (const po::error& error) {
    std::cerr << "demo-release: " << error.what() << "\n" << description << '\n';
    return 2;
  }
  try {
    const auto gamePath = game.empty() ? std::nullopt : std::optional<std::filesystem::path>(game);
    for (int number : numbers) {
      std::cout << "demo-release: wrote "
                << demo::WriteRelease(out, number, seed, gamePath).string() << '\n';
    }
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "demo-release: " << error.what() << '\n';
    return 1;
  }
}
