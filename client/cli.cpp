#include "client/cli.h"

#include <CLI/CLI.hpp>
#include <boost/json.hpp>
#include <charconv>
#include <istream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>

#include "client/cli_common.h"
#include "client/domain_commands.h"
#include "client/get_file.h"
#include "client/json_format.h"
#include "client/remote_calls.h"
#include "client/request_encoder.h"
#include "client/result_decoder.h"

namespace brevalon::client {
namespace {

constexpr const char* kProgram = "brevalon-cli";

namespace json = boost::json;

constexpr const char* kExitCodesHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  input the command cannot accept (request description, result text, local file)\n"
    "  2  bad command line, option values included (a date, an action, an executor pair)\n"
    "  3  the REST session expired; the stored session id is forgotten, sign in again\n"
    "  4  the gateway cannot be reached, timed out, or answered outside the protocol\n"
    "  5  a remote method answered a non-zero return code (404 not signed in, 406 malformed\n"
    "     request data, 1 failure)\n"
    "  6  a downloaded file does not match its size or CRC-32 (nothing is written)";

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

// ---- commands that talk to the gateway

// connect --db DB --user U [--password P] [--domain D]
void AddConnectCommand(CLI::App& app, CliStreams& io, Connection& c) {
  auto s = std::make_shared<SignInOptions>();
  CLI::App* command = app.add_subcommand(
      "connect", "Sign in (ConnectToDB); prints the workflow user id and the database version");
  command->fallthrough();
  AddSignInOptions(*command, *s, true);
  command->callback([s, &io, &c] {
    Gateway gateway(c);
    const SignInAnswer answer = DoSignIn(gateway, *s);
    io.out << FormatJson(json::object{{"WFUserId", answer.WFUserId},
                                      {"MSDatabseVer", answer.MSDatabseVer}})
           << '\n';
  });
}

// call <Method> [<json>]
void AddCallCommand(CLI::App& app, CliStreams& io, Connection& c) {
  struct Options {
    std::string method;
    std::string input;
    bool compact = false;
    SignInOptions signIn;
  };
  auto o = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand(
      "call",
      "Call a remote method and print its return code, message and decoded result as JSON");
  command->fallthrough();
  command->add_option("method", o->method, "Remote method, e.g. GetTaskList (any case)")->required();
  CLI::Option* input = command->add_option(
      "json", o->input,
      "A request method's fields as a JSON object (see `encode --help`); for any other method "
      "(GetStream, DSAdmin.GetPlatformName, ...) its inputs as a JSON array, sent and answered raw");
  command->add_flag("--compact", o->compact, "Print the JSON on one line");
  AddSignInOptions(*command, o->signIn, false);
  command->callback([o, input, &io, &c] {
    const RequestKind* kind = FindRequestKind(o->method);
    // Check the input before any network traffic.
    json::object fields;
    json::array params;
    if (kind) {
      fields = ParseJsonObject(input->count() ? o->input : "{}");
    } else if (input->count()) {
      boost::system::error_code ec;
      json::value v = json::parse(o->input, ec);
      if (ec || !v.is_array()) throw EClientError("the inputs of " + o->method + " must be a JSON array");
      params = std::move(v.as_array());
    }
    Gateway gateway(c);
    SignInIfAsked(gateway, o->signIn);
    if (!kind) {
      const json::array result = gateway.T().Call(o->method, params);
      io.out << FormatJson(json::object{{"result", result}}, !o->compact) << '\n';
      return;
    }
    const MethodReply reply = CallRequestMethod(gateway.T(), kind->method, fields);
    json::object shown{{"returnCode", reply.ReturnCode}, {"message", reply.Message}};
    if (reply.HasResult) {
      const bool record = reply.ReturnCode == 0 && reply.Result.is_object() &&
                          reply.Result.as_object().contains("BASE64");
      shown["result"] = record ? json::value(ResultRecord(kind->method, reply)) : reply.Result;
    }
    io.out << FormatJson(shown, !o->compact) << '\n';
    if (reply.ReturnCode != 0) throw EMethodFailed(kind->method, reply.ReturnCode, reply.Message);
  });
}

// stream
void AddStreamCommand(CLI::App& app, CliStreams& io, Connection& c) {
  CLI::App* command = app.add_subcommand("stream", "Call GetStream and print its bytes as text");
  command->fallthrough();
  command->callback([&io, &c] {
    Gateway gateway(c);
    io.out << GetStreamBytes(gateway.T()) << '\n';
  });
}

uint32_t ParseCrc(const std::string& text) {
  std::string_view digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
      value > UINT32_MAX) {
    throw EUsage("--crc must be a 32-bit checksum, decimal (as FCRC) or 0x-hex: \"" + text + "\"");
  }
  return static_cast<uint32_t>(value);
}

// get-file --attachment ID --ext EXT (--size N --crc C | --task T) -o PATH
void AddGetFileCommand(CLI::App& app, CliStreams& io, Connection& c) {
  struct Options {
    GetFileOptions file;
    std::optional<int64_t> size;
    std::string crc;
    std::optional<int32_t> task;
    std::string uid = "brevalon-cli";
    std::string output;
    SignInOptions signIn;
  };
  auto o = std::make_shared<Options>();
  CLI::App* command = app.add_subcommand(
      "get-file",
      "Download a document version's file block by block (GetFile), check its size and CRC-32 "
      "and write it atomically");
  command->fallthrough();
  command->add_option("--attachment", o->file.Attachment,
                      "The attachment's FObjectId (the document version)")
      ->required();
  command->add_option("--ext", o->file.Extension, "The file's extension, without the dot")->required();
  command->add_option("--size", o->size, "The file's size in bytes (FSize)");
  command->add_option("--crc", o->crc, "The file's CRC-32 (FCRC), decimal or 0x-hex");
  command->add_option("--task", o->task,
                      "Take size and CRC-32 from this task's attachment list (GetTaskAttachments)");
  command->add_option("--uid", o->uid, "Client UID for --task")->capture_default_str();
  command->add_option("-o,--output", o->output, "Where to write the file")->required();
  command->add_option("--block", o->file.BlockSize, "Bytes per GetFile call")
      ->capture_default_str()
      ->check(CLI::Range(1, kMaxBlockSize));
  AddSignInOptions(*command, o->signIn, false);
  command->callback([o, &io, &c] {
    GetFileOptions options = o->file;
    options.Output = o->output;
    const bool haveFacts = o->size.has_value() && !o->crc.empty();
    if (!haveFacts && !o->task) throw EUsage("get-file needs --size and --crc, or --task");
    if (!o->crc.empty()) options.Crc = ParseCrc(o->crc);
    if (o->size) options.Size = *o->size;
    Gateway gateway(c);
    SignInIfAsked(gateway, o->signIn);
    if (!haveFacts) {
      const AttachmentFacts facts =
          LookupAttachment(gateway.T(), *o->task, options.Attachment, options.Extension, o->uid);
      if (!o->size) options.Size = facts.Size;
      if (o->crc.empty()) options.Crc = facts.Crc;
    }
    ProgressFn progress;
    bool drawn = false;
    if (io.errIsTerminal) {
      progress = [&io, &drawn](int64_t done, int64_t total) {
        constexpr int kWidth = 40;
        const int filled = total > 0 ? static_cast<int>(done * kWidth / total) : kWidth;
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        io.err << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
               << percent << "% " << done << "/" << total << " bytes" << std::flush;
        drawn = true;
      };
    }
    try {
      DownloadFile(gateway.T(), options, progress);
    } catch (...) {
      if (drawn) io.err << '\n';
      throw;
    }
    if (drawn) io.err << '\n';
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", options.Crc);
    io.out << options.Size << " bytes, CRC-32 " << crc << ", written to " << o->output << '\n';
  });
}

}  // namespace

int RunCli(int argc, const char* const* argv, CliStreams io) {
  CLI::App app{"Reference client of the Brevalon:24 gateway.", kProgram};
  app.require_subcommand(1);
  app.footer(kExitCodesHelp);
  Connection connection;
  AddConnectionOptions(app, connection);
  AddEncodeCommand(app, io);
  AddDecodeCommand(app, io);
  AddConnectCommand(app, io, connection);
  AddCallCommand(app, io, connection);
  AddStreamCommand(app, io, connection);
  AddGetFileCommand(app, io, connection);
  AddDomainCommands(app, io, connection);
  const auto fail = [&io](const std::exception& e, int code) {
    io.err << kProgram << ": " << OneLine(e.what()) << '\n';
    return code;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help
    return app.exit(e, io.out, io.err);
  } catch (const CLI::ParseError& e) {
    io.err << kProgram << ": " << OneLine(e.what()) << " (see " << kProgram << " --help)\n";
    return 2;
  } catch (const EUsage& e) {
    io.err << kProgram << ": " << OneLine(e.what()) << " (see " << kProgram << " --help)\n";
    return 2;
  } catch (const ESessionExpired& e) {
    return fail(e, 3);
  } catch (const ETransportError& e) {
    return fail(e, 4);
  } catch (const ERemoteError& e) {
    io.err << kProgram << ": the gateway refused the call: " << OneLine(e.what()) << '\n';
    return 4;
  } catch (const EMethodFailed& e) {
    return fail(e, 5);
  } catch (const EFileMismatch& e) {
    return fail(e, 6);
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
