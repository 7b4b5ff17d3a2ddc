#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "LorvaniSim.h"

namespace {

struct EcrRun {
  std::string output;
  int exitCode = -1;
};

// Runs zvpa-ecr with the arguments (a shell-quoted text) and standard input aInput.
EcrRun Ecr(const std::string& aArguments, const std::string& aInput = "") {
  const std::string inputFile = "ecr_input_" + std::to_string(::getpid()) + ".txt";
  std::ofstream(inputFile) << aInput;
  const std::string command = std::string(ZV_ECR_PATH) + " " + aArguments + " < " + inputFile + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  EcrRun run;
  std::array<char, 4096> buffer{};
  while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) run.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::remove(inputFile.c_str());
  return run;
}

TEST(ZvpaEcr, RunsAPaymentSessionFromStandardInput) {
  zvtest::LorvaniSim sim({"--token", "ecr-token"});
  const std::string session =
      "# a session\n"
      "OPEN --url " + sim.BaseUrl() + " --bearer ecr-token --ca-file " + sim.CaFile() + " --log-id ecr\n"
      "PAY --handle last --amount 12.50 --currency EUR --code PRE-9 --store S1 --till T2 --operator op\n"
      "PAY --handle last --action REFUND --amount 2.50 --currency EUR --token last --store S1 --till T2\n"
      "CLOSE --handle last\n";
  const EcrRun run = Ecr("--script -", session);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  size_t successes = 0;
  for (size_t at = run.output.find("(success)"); at != std::string::npos; at = run.output.find("(success)", at + 1))
    ++successes;
  EXPECT_EQ(successes, 4u) << run.output;
  EXPECT_NE(run.output.find("PaymentAmount           : 12.5"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("PaymentNetwork          : lorvani"), std::string::npos) << run.output;
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Path.rfind("/v1/instore/orders/", 0), 0u);
  EXPECT_NE(requests[1].Path.find("/refund"), std::string::npos);
}

TEST(ZvpaEcr, PrintsTheRawResponseAndReportsFailures) {
  const EcrRun status = Ecr("--raw GETSTATUS");
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_EQ(status.output.rfind("<DayOpened>False</DayOpened>\r\n<DateTime>", 0), 0u) << status.output;
  EXPECT_NE(status.output.find("result: 0"), std::string::npos);

  const EcrRun close = Ecr("CLOSE --handle 77");
  EXPECT_EQ(close.exitCode, 1);
  EXPECT_NE(close.output.find("error text: Device Handle not found"), std::string::npos) << close.output;
  EXPECT_NE(close.output.find("result:     -1 (failure)"), std::string::npos) << close.output;
}

TEST(ZvpaEcr, SendsARequestFileAsItIs) {
  const std::string file = "ecr_request_" + std::to_string(::getpid()) + ".xml";
  std::ofstream(file) << "<Request><Driver>NOT_HERE</Driver></Request>";
  const EcrRun run = Ecr("OPEN --xml " + file);
  std::remove(file.c_str());
  EXPECT_NE(run.output.find("Payment Driver [NOT_HERE] not registered."), std::string::npos) << run.output;
}

TEST(ZvpaEcr, RefusesWhatItCannotUnderstand) {
  EXPECT_EQ(Ecr("SHOUT").exitCode, 2);
  const EcrRun option = Ecr("PAY --amout 1");
  EXPECT_EQ(option.exitCode, 2);
  EXPECT_NE(option.output.find("unknown option '--amout' for PAY"), std::string::npos) << option.output;
  const EcrRun last = Ecr("--script -", "CLOSE --handle last\n");
  EXPECT_EQ(last.exitCode, 1);
  EXPECT_NE(last.output.find("no earlier handle in this session"), std::string::npos) << last.output;
  EXPECT_EQ(Ecr("VERSION").output.find("Version 1.01 - 10/11/2021") != std::string::npos, true);
}

}  // namespace
