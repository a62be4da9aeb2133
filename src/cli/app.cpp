#include "cli/app.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <istream>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <system_error>

#include <CLI/CLI.hpp>

#include "cli/json_output.hpp"
#include "cli/terminal.hpp"
#include "cli/text_output.hpp"
#include "common/excerpt.hpp"
#include "common/text.hpp"
#include "engine/usage_service.hpp"
#include "model/file_keychain.hpp"
#include "net/ca_bundle.hpp"
#include "providers/shared/service_context.hpp"

namespace dapplewick {

const std::string_view kVersion = DAPPLEWICK_VERSION;

const std::string_view kUsageText =
    "Usage:\n"
    "  dapplewick [PROVIDER...] [--json]\n"
    "      Refresh every provider that has a saved credential, or only the providers named, and print\n"
    "      their usage. A named provider without a credential shows \"No credential saved\"; with none\n"
    "      saved and none named, no record is printed and standard error names the folder searched.\n"
    "  dapplewick providers\n"
    "      List every provider, whether a credential is saved for it and whether this build reads it.\n"
    "  dapplewick credential set PROVIDER\n"
    "      Save the credential for PROVIDER, read from standard input (never from the command line).\n"
    "      On a terminal it is typed or pasted as one hidden line (a paste of several lines is refused:\n"
    "      pipe it instead); otherwise all of standard input is read and trailing line breaks are dropped.\n"
    "      A blank secret (empty, or only white space and line breaks) is refused, and so is a control key\n"
    "      (an arrow, Ctrl-U) typed at the prompt; the saved credential then stays as it was. Stopped at the\n"
    "      prompt (Ctrl-Z) and resumed, it asks again from the start; resumed in the background (bg), it\n"
    "      stops again until fg. Nothing is saved when the terminal closes before Enter, or a signal stops\n"
    "      the command before the credential is written.\n"
    "  dapplewick credential delete PROVIDER\n"
    "      Delete the credential saved for PROVIDER.\n"
    "  dapplewick credential list\n"
    "      Print the providers that have a saved credential, one per line (never the credentials).\n"
    "\n"
    "Options:\n"
    "  --json      Print the records as one JSON array, in provider order. Its fields are described in\n"
    "              README.md, section \"The --json record\".\n"
    "  -h, --help  Show this text.\n"
    "  --version   Show the version of Dapplewick.\n"
    "  --          End the options: every argument after it is a PROVIDER, even one that starts with \"-\".\n"
    "\n"
    "An unknown argument is repeated in an error only when it could be a name (a long option up to any\n"
    "\"=\", a short one of two characters, a PROVIDER of at most 24 ASCII letters, digits, \"-\", \"_\" and\n"
    "\".\" not starting with \"-\"); anything else, such as a value glued to a short option (\"-xVALUE\"),\n"
    "may be a secret and is described by its length alone.\n"
    "\n"
    "Files (in $DAPPLEWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/dapplewick, else ~/.config/dapplewick):\n"
    "  credentials.json  the saved credentials (file 0600; a folder Dapplewick creates is 0700)\n"
    "  config.json       optional: {\"origins\": {\"KEY\": \"https://host[:port][/]\"}, \"caBundle\": \"PATH\"}\n"
    "\n"
    "Exit status:\n"
    "  0    the command ran; a provider's failure is part of the output\n"
    "  1    Dapplewick cannot work: the configuration folder or a file in it is another user's or the\n"
    "       group or other users can write to it, the credential file is unreadable or damaged,\n"
    "       config.json is bad, the output cannot be written (\"dapplewick: write error: ...\"), the\n"
    "       terminal closed before Enter at the prompt, standard input cannot be read (nothing is saved),\n"
    "       Dapplewick cannot start (\"dapplewick: cannot start: ...\")\n"
    "  2    usage error: unknown provider, missing or unexpected argument, blank secret, a secret of\n"
    "       several lines pasted or a control key typed at the terminal's prompt (nothing is saved)\n"
    "  129  stopped by SIGHUP\n"
    "  130  interrupted (Ctrl-C, SIGINT)\n"
    "  131  stopped by SIGQUIT (Ctrl-\\)\n"
    "  141  a write met a pipe its reader had already closed (SIGPIPE); output that fits in the pipe\n"
    "       before the reader closes it ends with 0\n"
    "  143  stopped by SIGTERM\n"
    "  A SIGHUP, SIGINT, SIGQUIT or SIGTERM that was ignored when Dapplewick started (nohup ignores\n"
    "  SIGHUP; a shell script's background job, SIGINT and SIGQUIT) stays ignored and stops nothing.\n";

namespace {

// The command line is wrong: exit status 2 with a hint to the help text.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Command {
  enum class Kind { help, version, refresh, providers, credentialSet, credentialDelete, credentialList };
  Kind kind = Kind::refresh;
  bool json = false;
  // refresh: the providers named (none: every provider with a credential); set and delete: exactly one.
  std::vector<Provider> providers;
};

std::string validProviderNames() {
  std::string list;
  for (Provider provider : allProviders()) {
    if (!list.empty()) list += ", ";
    list += rawValue(provider);
  }
  return list;
}

// An unknown name is repeated only when it could be a name (a provider's or an option's): anything else may be a
// secret typed where the name belongs, and is described by its length alone.
bool couldBeAName(std::string_view text) {
  constexpr std::size_t kMaxShownName = 24;
  return text.size() <= kMaxShownName && std::ranges::all_of(text, [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                  c == '.';
         });
}

// No provider's name starts with "-": such a text comes after "--", and may be an option with a secret glued to it.
bool couldBeAProviderName(std::string_view text) { return !text.starts_with('-') && couldBeAName(text); }

// "51 characters": code points, or bytes when the text is not UTF-8.
std::string lengthInCharacters(std::string_view text) {
  const std::size_t length = isValidUTF8(text) ? codePointCount(text) : text.size();
  return std::to_string(length) + (length == 1 ? " character" : " characters");
}

Provider providerNamed(const std::string& name) {
  if (auto provider = providerFromRawValue(name)) return *provider;
  throw UsageError((couldBeAProviderName(name)
                        ? "unknown provider \"" + name + "\""
                        : "an unknown provider name of " + lengthInCharacters(name) + ", not shown") +
                   "\nValid providers: " + validProviderNames());
}

// The one PROVIDER of `credential set` and `credential delete`.
Provider singleProvider(const std::vector<std::string>& names, std::string_view command) {
  if (names.empty()) throw UsageError(std::string(command) + " needs a PROVIDER");
  if (names.size() > 1) {
    // Never repeat the extra arguments: the likeliest one is a secret given where it does not belong.
    throw UsageError(std::string(command) +
                     " takes one PROVIDER and nothing else; a secret is read from standard input, never from the "
                     "command line");
  }
  return providerNamed(names.front());
}

// Arguments nobody takes, none of them repeated when it may hold a secret. A long option is named up to any "=",
// and only when that could be an option's name; a short one only as two characters ("-x"): anything longer is a
// value glued to it ("-xVALUE", or "-VALUE" left of "-hVALUE" once the parser has taken the "-h"), and is described
// by its length alone. Other arguments are not repeated at all.
std::string describeExtras(const std::vector<std::string>& extras) {
  std::vector<std::string> options;
  for (const auto& extra : extras) {
    if (extra.size() > 1 && extra.front() == '-') {
      const bool isLong = extra.starts_with("--");
      const std::string name = isLong ? extra.substr(0, extra.find('=')) : extra;
      const bool isShown = couldBeAName(name) && (isLong || name.size() == 2);
      options.push_back(isShown ? name : "[" + lengthInCharacters(name) + ", not shown]");
    }
  }
  if (options.empty()) return "unexpected arguments";
  std::string message = options.size() == 1 ? "unknown option " : "unknown options ";
  for (std::size_t i = 0; i < options.size(); ++i) message += (i > 0 ? ", " : "") + options[i];
  if (options.size() < extras.size()) message += ", and unexpected arguments";
  return message;
}

// Every option here is a flag. The parser takes a value glued to one ("--json=VALUE") and, when it cannot read
// it, repeats the value, which may be a secret given in the wrong place: such an argument is refused here instead,
// naming the option alone.
void refuseOptionValues(const std::vector<std::string>& args) {
  for (const auto& arg : args) {
    const std::size_t equals = arg.find('=');
    if (!arg.starts_with('-') || equals == std::string::npos) continue;
    const std::string name = arg.substr(0, equals);
    if (name == "-h" || name == "--help" || name == "--version" || name == "--json") {
      throw UsageError("option " + name + " takes no value");
    }
  }
}

Command parseCommandLine(const std::vector<std::string>& args) {
  // "--" ends the options: whatever follows is a PROVIDER. The parser sees only what comes before it, since it keeps
  // "--" as a left-over argument, and a subcommand that has its PROVIDER (or takes none) hands "--" back to its
  // parent, which reads what follows as options again.
  const auto mark = std::ranges::find(args, std::string_view("--"));
  const std::vector<std::string> options(args.begin(), mark);
  const std::vector<std::string> operands(mark == args.end() ? mark : std::next(mark), args.end());
  refuseOptionValues(options);
  CLI::App app("", "dapplewick");
  app.set_help_flag();
  // Options and positionals a subcommand does not know go to its parent, so misplaced ones are reported below
  // in words of this tool rather than as a parser error.
  app.fallthrough();
  // Left-over arguments are collected and reported by describeExtras, not by the parser, whose text would
  // repeat them in full.
  app.allow_extras();
  bool help = false;
  bool version = false;
  bool json = false;
  std::vector<std::string> names;
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_flag("--json", json);
  app.add_option("PROVIDER", names);
  CLI::App* providersCommand = app.add_subcommand("providers");
  CLI::App* credential = app.add_subcommand("credential");
  std::vector<std::string> setNames;
  std::vector<std::string> deleteNames;
  CLI::App* set = credential->add_subcommand("set");
  set->add_option("PROVIDER", setNames);
  CLI::App* remove = credential->add_subcommand("delete");
  remove->add_option("PROVIDER", deleteNames);
  CLI::App* list = credential->add_subcommand("list");

  std::vector<std::string> reversed(options.rbegin(), options.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError&) {
    // Not reached with the flags above; its text is not repeated, since it may quote an argument.
    throw UsageError("the arguments cannot be read");
  }
  if (const auto extras = app.remaining(true); !extras.empty()) throw UsageError(describeExtras(extras));
  // What follows "--" belongs to the command written before it, which judges it as it would its own PROVIDER.
  std::vector<std::string>& operandNames = set->parsed() ? setNames : remove->parsed() ? deleteNames : names;
  operandNames.insert(operandNames.end(), operands.begin(), operands.end());

  Command command;
  command.json = json;
  if (help) {
    command.kind = Command::Kind::help;
    return command;
  }
  if (version) {
    command.kind = Command::Kind::version;
    return command;
  }
  const bool isSubcommand = providersCommand->parsed() || credential->parsed();
  if (isSubcommand && json) throw UsageError("--json applies only to the refresh");
  if (providersCommand->parsed()) {
    if (!names.empty()) throw UsageError("providers takes no arguments");
    command.kind = Command::Kind::providers;
  } else if (credential->parsed()) {
    // Positionals that reached the top level beside a credential command are not repeated: one may be a secret.
    if (!names.empty()) throw UsageError("unexpected arguments");
    if (set->parsed()) {
      command.kind = Command::Kind::credentialSet;
      command.providers = {singleProvider(setNames, "credential set")};
    } else if (remove->parsed()) {
      command.kind = Command::Kind::credentialDelete;
      command.providers = {singleProvider(deleteNames, "credential delete")};
    } else if (list->parsed()) {
      command.kind = Command::Kind::credentialList;
    } else {
      throw UsageError("credential needs one of: set, delete, list");
    }
  } else {
    command.kind = Command::Kind::refresh;
    std::set<Provider> named;
    for (const auto& name : names) named.insert(providerNamed(name));
    command.providers.assign(named.begin(), named.end());
  }
  return command;
}

// ---- Output ----

// True when everything written to standard output has reached it; otherwise says why on standard error (once:
// what could not be written is dropped).
bool flushOutput(AppIO& io) {
  if (io.out.flush()) return true;
  const int error = io.outputError ? io.outputError() : 0;
  io.err << "dapplewick: write error: "
         << (error != 0 ? std::generic_category().message(error) : std::string("the output could not be written"))
         << "\n";
  io.out.clear();
  return false;
}

// A word on standard error when others can read the credential file, which is read all the same. Said after the
// first read, which may refuse the file outright.
void warnIfExposed(const FileKeychain& keychain, AppIO& io) {
  if (const auto warning = keychain.exposureWarning()) io.err << "dapplewick: warning: " << *warning << "\n";
}

// ---- Credentials ----

// A stop signal has been raised: taken by the watcher, or still pending.
bool stopRaised(const AppContext& context) {
  return context.stop.stop_requested() || (context.stopRaised && context.stopRaised());
}

int interrupted(AppIO& io) {
  io.err << "dapplewick: interrupted\n";
  return kExitInterrupted;
}

// All of a non-terminal standard input, with the trailing line breaks a pipe or a here-string adds removed; the
// limit holds for what is left. Past the limit only line breaks may come, and at most 64 KiB of them: reading stops
// at the first byte that is not one, or once more than that has come, so an endless input ends at once. A read
// that fails (a connection reset part way, a closed or unreadable input) gives nothing: what came before it is
// not the secret.
std::string readPipedSecret(const AppIO& io) {
  std::istream& in = io.in;
  constexpr std::size_t kMostLineBreaks = std::size_t{64} * 1024;
  constexpr std::size_t kMostRead = kMaxSecretBytes + kMostLineBreaks;
  const auto tooLong = [] { return UsageError("the secret on standard input is longer than 1 MiB"); };
  std::string secret;
  char buffer[65536];
  // One byte past the most that may come tells that more came.
  while (secret.size() <= kMostRead) {
    const std::size_t wanted = std::min(sizeof buffer, kMostRead + 1 - secret.size());
    in.read(buffer, static_cast<std::streamsize>(wanted));
    if (in.gcount() <= 0) break;
    const std::size_t from = std::max(secret.size(), kMaxSecretBytes);
    secret.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (from < secret.size() && !std::ranges::all_of(std::string_view(secret).substr(from), isLineBreakByte)) {
      throw tooLong();
    }
  }
  if (const int error = io.inputError ? io.inputError() : 0; error != 0 || in.bad()) {
    throw std::runtime_error("cannot read standard input: " +
                             std::generic_category().message(error != 0 ? error : EIO));
  }
  if (secret.size() > kMostRead) throw tooLong();
  while (!secret.empty() && isLineBreakByte(secret.back())) secret.pop_back();
  return secret;
}

// The prompt handles Enter, Ctrl-D, Backspace and DEL; any other control key (an arrow key's ESC, Ctrl-U, or a C1
// control) would be saved inside the secret. A tab may belong to a pasted secret.
bool holdsControlCharacter(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const char32_t c = decodeUTF8(text, at);
    if (c != U'\t' && isControlCharacter(c)) return true;
  }
  return false;
}

// One hidden line typed or pasted on a terminal. Nothing when interrupted, even by a signal raised while the line
// was ending: Ctrl-C typed between two parts of a paste arrives with the rest of it.
std::optional<std::string> readTypedSecret(Provider provider, const AppContext& context, AppIO& io) {
  const std::string prompt =
      "Paste the credential for " + std::string(rawValue(provider)) + " and press Enter (input is hidden): ";
  io.err << prompt << std::flush;
  LineRead read;
  {
    // Asked again after a stop and resume, on a line of its own: the shell has written meanwhile.
    HiddenTerminalInput hidden(STDIN_FILENO, context.stop, context.jobControl, [&] {
      io.err << "\n" << prompt << std::flush;
    });
    read = hidden.readLine(kMaxSecretBytes);
  }
  io.err << "\n";
  if (stopRaised(context)) return std::nullopt;
  switch (read.status) {
    case LineReadStatus::line:
    case LineReadStatus::endOfInput:
      if (holdsControlCharacter(read.text)) {
        throw UsageError("the typed secret holds a control character (a key such as an arrow or Ctrl-U); nothing "
                         "was saved");
      }
      if (read.text.empty()) throw UsageError("nothing was typed at the prompt; nothing was saved");
      if (trimWhitespace(read.text).empty()) throw UsageError("the typed secret is blank; nothing was saved");
      return std::move(read.text);
    // A terminal closed while a key was half typed: what arrived is not the key.
    case LineReadStatus::hungUp: throw std::runtime_error("the terminal closed before Enter; nothing was saved");
    case LineReadStatus::tooLong: throw UsageError("the secret is longer than 1 MiB");
    // Its first line alone would be saved, and would fail later as a credential that looks saved.
    case LineReadStatus::severalLines:
      throw UsageError("the pasted text has several lines; nothing was saved; pipe it instead: \u2026 | dapplewick "
                       "credential set " +
                       std::string(rawValue(provider)));
    case LineReadStatus::stopped: return std::nullopt;
    case LineReadStatus::failed: break;
  }
  throw std::runtime_error("cannot read standard input");
}

int credentialSet(Provider provider, const AppContext& context, AppIO& io) {
  std::string secret;
  if (io.inputIsTerminal) {
    auto typed = readTypedSecret(provider, context, io);
    if (!typed) return interrupted(io);
    secret = std::move(*typed);
  } else {
    secret = readPipedSecret(io);
    if (stopRaised(context)) return interrupted(io);
    if (trimWhitespace(secret).empty()) throw UsageError("the secret on standard input is blank; nothing was saved");
  }
  if (!isValidUTF8(secret)) throw UsageError("the secret on standard input is not UTF-8 text");
  FileKeychain keychain(configurationFolder(context.environment));
  // A stop raised by now saves nothing; one raised once the file is written leaves it saved, and says so.
  if (stopRaised(context)) return interrupted(io);
  keychain.save(provider, secret);
  io.out << "Saved the credential for " << rawValue(provider);
  if (!UsageService::isSupported(provider)) io.out << "; this build does not read " << rawValue(provider);
  io.out << ".\n";
  if (!flushOutput(io)) {
    // Whoever reads the failure must not think the credential is missing.
    io.err << "dapplewick: the credential for " << rawValue(provider) << " was saved all the same\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

int credentialDelete(Provider provider, const AppContext& context, AppIO& io) {
  FileKeychain keychain(configurationFolder(context.environment));
  const bool isSaved = keychain.load(provider).has_value();
  warnIfExposed(keychain, io);
  if (!isSaved) {
    io.out << "No credential was saved for " << rawValue(provider) << ".\n";
    return kExitSuccess;
  }
  keychain.remove(provider);
  io.out << "Deleted the credential for " << rawValue(provider) << ".\n";
  if (!flushOutput(io)) {
    io.err << "dapplewick: the credential for " << rawValue(provider) << " was deleted all the same\n";
    return kExitFailure;
  }
  return kExitSuccess;
}

int credentialList(const AppContext& context, AppIO& io) {
  FileKeychain keychain(configurationFolder(context.environment));
  const auto saved = keychain.savedProviders();
  warnIfExposed(keychain, io);
  for (Provider provider : saved) io.out << rawValue(provider) << "\n";
  return kExitSuccess;
}

int listProviders(const AppContext& context, AppIO& io) {
  FileKeychain keychain(configurationFolder(context.environment));
  const auto saved = keychain.savedProviders();
  warnIfExposed(keychain, io);
  constexpr std::size_t kNameWidth = 18;
  constexpr std::size_t kSavedWidth = 12;
  auto row = [&](std::string_view name, std::string_view credential, std::string_view supported) {
    std::string line(name);
    line.resize(std::max(kNameWidth, line.size() + 1), ' ');
    line += credential;
    line.resize(std::max(kNameWidth + kSavedWidth, line.size() + 1), ' ');
    line += supported;
    io.out << line << "\n";
  };
  row("PROVIDER", "CREDENTIAL", "READ BY THIS BUILD");
  for (Provider provider : allProviders()) {
    const bool isSaved = std::find(saved.begin(), saved.end(), provider) != saved.end();
    row(rawValue(provider), isSaved ? "saved" : "-", UsageService::isSupported(provider) ? "yes" : "no");
  }
  return kExitSuccess;
}

// ---- Refresh ----

// One line on a terminal's standard error while fetches are outstanding, rewritten as each one finishes and
// erased at the end. Called from the engine's workers, one at a time. The terminal's width is asked at each draw,
// since the window may be resized meanwhile.
class Progress {
 public:
  Progress(const AppIO& io, bool enabled, std::vector<Provider> pending)
      : err_(io.err),
        columns_(io.errorColumns),
        enabled_(enabled),
        total_(pending.size()),
        pending_(std::move(pending)) {
    draw();
  }
  ~Progress() { clear(); }

  void finished(Provider provider) {
    std::lock_guard lock(mutex_);
    pending_.erase(std::remove(pending_.begin(), pending_.end(), provider), pending_.end());
    drawLocked();
  }

  void clear() {
    std::lock_guard lock(mutex_);
    if (enabled_ && drawn_) err_ << "\r\x1b[2K" << std::flush;
    drawn_ = false;
  }

 private:
  void draw() {
    std::lock_guard lock(mutex_);
    drawLocked();
  }

  void drawLocked() {
    if (!enabled_ || pending_.empty()) return;
    constexpr std::size_t kNamesShown = 3;
    std::string line = "Refreshing: " + std::to_string(total_ - pending_.size()) + " of " + std::to_string(total_) +
                       " done, waiting for ";
    for (std::size_t i = 0; i < pending_.size() && i < kNamesShown; ++i) {
      if (i > 0) line += ", ";
      line += rawValue(pending_[i]);
    }
    if (pending_.size() > kNamesShown) line += ", ...";
    err_ << "\r\x1b[2K" << fitTerminalLine(line, columns_ ? columns_() : 0) << std::flush;
    drawn_ = true;
  }

  std::ostream& err_;
  const std::function<int()> columns_;
  const bool enabled_;
  const std::size_t total_;
  std::mutex mutex_;
  std::vector<Provider> pending_;
  bool drawn_ = false;
};

// config.json names a CA bundle that cannot be used: better said now than as a TLS failure per provider.
void checkConfiguredCABundle(const Configuration& configuration, const std::filesystem::path& configurationFolder) {
  if (!configuration.caBundle) return;
  const std::string named = "the CA bundle \"" + printableExcerpt(*configuration.caBundle) + "\" named in " +
                            configurationFile(configurationFolder).string();
  switch (checkCABundle(*configuration.caBundle)) {
    case CABundleFault::none: return;
    case CABundleFault::notReadable: throw ConfigurationError(named + " is not a readable file");
    case CABundleFault::noCertificates:
      throw ConfigurationError(named + " is not a PEM file of certificates: it holds none, or one that cannot be read");
  }
}

int refresh(const Command& command, const AppContext& context, AppIO& io) {
  FileKeychain keychain(configurationFolder(context.environment));
  const auto saved = keychain.savedProviders();
  warnIfExposed(keychain, io);
  const Configuration configuration = loadConfiguration(keychain.folder());
  checkConfiguredCABundle(configuration, keychain.folder());

  // Named providers without a credential still get their record ("No credential saved"), so asking for one
  // always answers; they need no request.
  std::vector<Provider> withCredential;
  std::vector<Provider> withoutCredential;
  const std::vector<Provider>& wanted = command.providers.empty() ? saved : command.providers;
  for (Provider provider : wanted) {
    const bool isSaved = std::find(saved.begin(), saved.end(), provider) != saved.end();
    (isSaved ? withCredential : withoutCredential).push_back(provider);
  }
  if (wanted.empty()) {
    // Said beside the output, which holds records alone: a job run with another configuration folder than the
    // shell's would otherwise watch nothing without a word.
    io.err << "No credentials saved in " << keychain.folder().string()
           << ". Save one with: dapplewick credential set PROVIDER\n"
           << "(dapplewick providers lists the providers.)\n";
    if (command.json) io.out << "[]\n";
    return kExitSuccess;
  }

  const auto transport = context.makeTransport(configuration);
  ProcessToolRunner tools;
  const ServiceContext services{*transport, tools, context.clock, context.environment, configuration.origins};
  UsageService engine(keychain, services);
  for (Provider provider : withoutCredential) engine.refresh(provider, context.stop);
  {
    // A terminal that cannot move the cursor would show every draw on a line of its own.
    const bool showsProgress = io.errorIsTerminal && context.environment.get("TERM") != "dumb";
    Progress progress(io, showsProgress, withCredential);
    engine.refreshAll(withCredential, context.stop,
                      [&](const UsageData& record) { progress.finished(record.provider); });
  }
  if (context.stop.stop_requested()) return interrupted(io);

  std::vector<UsageData> records;
  for (const auto& record : engine.usageData()) {
    if (std::find(wanted.begin(), wanted.end(), record.provider) != wanted.end()) records.push_back(record);
  }
  io.out << (command.json ? formatUsageJson(records) : formatUsageText(records, context.clock.now()));
  return kExitSuccess;
}

int run(const Command& command, const AppContext& context, AppIO& io) {
  switch (command.kind) {
    case Command::Kind::help: io.out << kUsageText; return kExitSuccess;
    case Command::Kind::version: io.out << "dapplewick " << kVersion << "\n"; return kExitSuccess;
    case Command::Kind::refresh: return refresh(command, context, io);
    case Command::Kind::providers: return listProviders(context, io);
    case Command::Kind::credentialSet: return credentialSet(command.providers.front(), context, io);
    case Command::Kind::credentialDelete: return credentialDelete(command.providers.front(), context, io);
    case Command::Kind::credentialList: return credentialList(context, io);
  }
  return kExitFailure;
}

int runCommand(const std::vector<std::string>& args, const AppContext& context, AppIO& io) {
  try {
    const Command command = parseCommandLine(args);
    return run(command, context, io);
  } catch (const UsageError& error) {
    io.err << "dapplewick: " << error.what() << "\nRun 'dapplewick --help' for usage.\n";
    return kExitUsage;
  } catch (const std::exception& error) {
    // Keychain and configuration errors never hold a credential, and nothing else here handles one.
    io.err << "dapplewick: " << error.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace

int runApp(const std::vector<std::string>& args, const AppContext& context, AppIO& io) {
  const int status = runCommand(args, context, io);
  // Output that never arrived is a failure of the command, whatever it was.
  if (!flushOutput(io) && status == kExitSuccess) return kExitFailure;
  return status;
}

}  // namespace dapplewick
