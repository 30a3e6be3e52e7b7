#include "client/cli.h"

#include <CLI/CLI.hpp>
#include <istream>
#include <iterator>
#include <memory>
#include <ostream>

#include "client/json_format.h"
#include "client/request_encoder.h"
#include "client/result_decoder.h"

namespace brevalon::client {
namespace {

constexpr const char* kProgram = "brevalon-cli";

// Messages end up on one line of the error stream whatever they quote.
std::string OneLine(std::string message) {
  for (char& c : message) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return message;
}

std::string RequestFieldsHelp() {
  std::string text = "Methods and their fields (wire order):\n";
  for (const RequestKind& kind : RequestKinds()) {
    text += "  " + std::string(kind.method) + ":";
    for (const RequestField& field : kind.fields) text += " " + std::string(field.name);
    text += "\n";
  }
  text +=
      "Strings are JSON strings, Integers JSON integers, FStartAfterCreate true/false, "
      "FDateCritical and FDateCriticalNew seconds since 1970-01-01 UTC, FIdUsers and FIdRoles "
      "arrays of equal length. Missing fields are 0, false or empty; \"header\" sets the first "
      "header word (default 0).";
  return text;
}

// encode <Method> [<json>]: the request text of one remote method.
void AddEncodeCommand(CLI::App& app, CliStreams& io) {
  struct Options {
    std::string method;
    std::string fields = "{}";
  };
  auto options = std::make_shared<Options>();
  CLI::App* command =
      app.add_subcommand("encode", "Print the Base64 request text of a remote method's request");
  command->add_option("method", options->method, "Remote method, e.g. GetTaskList (any case)")
      ->required();
  command->add_option("fields", options->fields,
                      "The request's fields as a JSON object, e.g. '{\"FStUID\":\"abc\"}'");
  command->footer(RequestFieldsHelp());
  command->callback([options, &io] {
    const boost::json::object fields = ParseJsonObject(options->fields);
    io.out << EncodeRequest(options->method, fields) << '\n';
  });
}

// decode [TEXT]: a result text as JSON.
void AddDecodeCommand(CLI::App& app, CliStreams& io) {
  struct Options {
    std::string text;
    bool withTask = false;
    bool withoutTask = false;
    bool compact = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand("decode", "Print a Base64 result text as JSON");
  CLI::Option* text = command->add_option("text", options->text,
                                          "The result text; read from standard input when absent");
  CLI::Option* with = command->add_flag("--with-task", options->withTask,
                                        "A kind-4 result ends with a task (GetTaskAttachments)");
  CLI::Option* without = command->add_flag("--without-task", options->withoutTask,
                                           "A kind-4 result has no task (SearchDocuments)");
  with->excludes(without);
  command->add_flag("--compact", options->compact, "Print the JSON on one line");
  command->callback([options, text, &io] {
    std::string input = options->text;
    if (text->count() == 0) {
      input.assign(std::istreambuf_iterator<char>(io.in), std::istreambuf_iterator<char>());
    }
    const std::vector<uint8_t> bytes = DecodeBase64Strict(input);
    TaskInAttachments task = TaskInAttachments::kUnspecified;
    if (options->withTask) task = TaskInAttachments::kWithTask;
    if (options->withoutTask) task = TaskInAttachments::kWithoutTask;
    if (task == TaskInAttachments::kUnspecified && PeekResultKind(bytes) == 4) {
      throw EClientError(
          "a kind-4 (attachments) result needs --with-task (GetTaskAttachments) or "
          "--without-task (SearchDocuments)");
    }
    io.out << FormatJson(DecodeResultBytes(bytes, task), !options->compact) << '\n';
  });
}

}  // namespace

int RunCli(int argc, const char* const* argv, CliStreams io) {
  CLI::App app{"Reference client of the Brevalon:24 gateway.", kProgram};
  app.require_subcommand(1);
  AddEncodeCommand(app, io);
  AddDecodeCommand(app, io);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help
    return app.exit(e, io.out, io.err);
  } catch (const CLI::ParseError& e) {
    io.err << kProgram << ": " << OneLine(e.what()) << " (see " << kProgram << " --help)\n";
    return 2;
  } catch (const std::exception& e) {
    io.err << kProgram << ": " << OneLine(e.what()) << '\n';
    return 1;
  }
  return 0;
}

int RunCli(const std::vector<std::string>& args, CliStreams io) {
  std::vector<const char*> argv;
  argv.reserve(args.size() + 1);
  argv.push_back(kProgram);
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return RunCli(static_cast<int>(argv.size()), argv.data(), io);
}

}  // namespace brevalon::client
