// camfw figures: the sections that print what other builds left (libFuzzer
// statistics, Google Benchmark's JSON, tables of their own) and the choice
// of sections.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Tools/camfw/Figures.h"

namespace {

namespace fs = std::filesystem;

std::string Print(const Camfw::FiguresOptions &Options) {
  std::FILE *Out = std::tmpfile();
  Camfw::PrintFigures(Options, Out);
  std::rewind(Out);
  std::string Text;
  char Buffer[4096];
  for (size_t N; (N = std::fread(Buffer, 1, sizeof(Buffer), Out)) != 0;) {
    Text.append(Buffer, N);
  }
  std::fclose(Out);
  return Text;
}

TEST(FiguresTest, FuzzStatisticsBecomeOneRowPerTarget) {
  const std::string Table = Camfw::FuzzStatsTable({
      {"build/a/fuzz/ImageParsing.stats",
       "INFO: seed\nstat::number_of_executed_units: 120000\nstat::average_exec_per_sec: 4000\nstat::peak_rss_mb: 41\n"},
      {"build/a/fuzz/Capsule.stats", "stat::number_of_executed_units: 7\nnoise\nstat::new_units_added: 3\n"},
  });
  EXPECT_NE(Table.find("target"), std::string::npos);
  EXPECT_NE(Table.find("number_of_executed_units"), std::string::npos);
  EXPECT_NE(Table.find("new_units_added"), std::string::npos);
  // ImageParsing has no new_units_added: a dash in its column.
  const size_t Row = Table.find("ImageParsing");
  ASSERT_NE(Row, std::string::npos);
  const std::string Line = Table.substr(Row, Table.find('\n', Row) - Row);
  EXPECT_NE(Line.find("120000"), std::string::npos);
  EXPECT_NE(Line.find("4000"), std::string::npos);
  EXPECT_NE(Line.find(" -"), std::string::npos);
  EXPECT_EQ(Table.find("noise"), std::string::npos);
}

TEST(FiguresTest, BenchmarkJsonBecomesOneRowPerResult) {
  const std::string Json = R"({
  "context": {"date": "today", "num_cpus": 2, "caches": [{"type": "Data", "size": 32768}]},
  "benchmarks": [
    {"name": "BM_Sha256Driver/1048576", "run_name": "x", "iterations": 211, "real_time": 3.3e+06,
     "cpu_time": 3.29e+06, "time_unit": "ns"},
    {"name": "BM_Sha256OpenSsl/1048576", "iterations": 1520, "real_time": 461234.5, "cpu_time": 460000,
     "time_unit": "ns"}
  ]
})";
  const std::string Table = Camfw::BenchmarkTable({{"build/h/benchmarks.json", Json}});
  const size_t Driver = Table.find("BM_Sha256Driver/1048576");
  const size_t OpenSsl = Table.find("BM_Sha256OpenSsl/1048576");
  ASSERT_NE(Driver, std::string::npos);
  ASSERT_NE(OpenSsl, std::string::npos);
  EXPECT_LT(Driver, OpenSsl);
  const std::string Line = Table.substr(OpenSsl, Table.find('\n', OpenSsl) - OpenSsl);
  EXPECT_NE(Line.find("461234.5"), std::string::npos);
  EXPECT_NE(Line.find("1520"), std::string::npos);
  EXPECT_EQ(Table.find("Data"), std::string::npos);  // the context is not a result
}

TEST(FiguresTest, SectionsPrintWhatTheBuildTreeHoldsOrSayThereIsNothing) {
  const fs::path Dir = fs::temp_directory_path() / ("camfw-figures-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(Dir);
  Camfw::FiguresOptions Options;
  Options.BuildDir = Dir.string();
  Options.Sections = {"fuzz", "benchmarks", "tables"};
  std::string Text = Print(Options);
  EXPECT_NE(Text.find("no fuzzing statistics under"), std::string::npos);
  EXPECT_NE(Text.find("no benchmark results under"), std::string::npos);

  fs::create_directories(Dir / "h" / "fuzz");
  fs::create_directories(Dir / "h" / "figures");
  std::ofstream(Dir / "h" / "fuzz" / "Capsule.stats") << "stat::number_of_executed_units: 99\n";
  std::ofstream(Dir / "h" / "benchmarks.json")
      << R"({"benchmarks": [{"name": "BM_X", "real_time": 1.5, "cpu_time": 1.25, "time_unit": "us"}]})";
  std::ofstream(Dir / "h" / "figures" / "coverage.txt") << "lines 93.1%\n";
  Text = Print(Options);
  EXPECT_NE(Text.find("== Fuzzing =="), std::string::npos);
  EXPECT_NE(Text.find("Capsule"), std::string::npos);
  EXPECT_NE(Text.find("BM_X"), std::string::npos);
  EXPECT_NE(Text.find("lines 93.1%"), std::string::npos);
  fs::remove_all(Dir);

  Options.Sections = {"sweeps"};
  EXPECT_THROW(Print(Options), Camfw::Error);
  Options.Sections = {"power-cuts"};
  Options.Roads = {"z"};
  EXPECT_THROW(Print(Options), Camfw::Error);
}

}  // namespace
