#include "wizard/SetupProgram.h"

#include <chrono>
#include <thread>

#include "core/InstallationControl.h"
#include "core/InstallationEngine.h"
#include "core/InstallationPlan.h"
#include "core/RunReport.h"
#include "core/Startup.h"
#include "i18n/Catalogue.h"
#include "platform/Process.h"

namespace setup {
namespace {

Outcome Refuse(SetupContext& context, FrontEnd& messages, ErrorCode code, const std::u16string& text) {
  context.result = ResultOf(code);
  ShowMessage(context, messages, MessageKind::Error, text);
  return Outcome::NotPrepared;
}

// What a run would do, file by file, into the report; nothing is changed.
// A run that would fail before its first change is told as a failed one.
Outcome Plan(SetupContext& context, FrontEnd& messages, RunReport& report, std::optional<uint64_t>& freeSpace) {
  ErrorCode code = 0;
  if (const std::u16string refusal = DirectoryRefusal(context.templateDirectory, code); code != 0) {
    return Refuse(context, messages, code, refusal);
  }
  const InstallationPlan plan = PlanInstallation(context.kit, context.templateDirectory);
  const std::vector<KitFileEntry>& files = context.kit.Files();
  for (size_t i = 0; i < plan.actions.size(); ++i) {
    report.AddEntry(RelativePath(files[i]), plan.actions[i], files[i].size);
  }
  freeSpace = plan.freeSpace;
  if (plan.code != 0) {
    // Nothing failed yet, so nothing is shown; the report says what would.
    context.result = ResultOf(plan.code);
    context.shownMessage = plan.message;
    return Outcome::Failed;
  }
  return Outcome::Installed;
}

Outcome Proceed(SetupContext& context, WizardFrontEnd* window, WizardView& headless, FrontEnd& messages,
                const UnattendedOptions& options, RunReport& report, std::optional<uint64_t>& freeSpace) {
  TargetSurvey survey;
  if (!window && !options.plan) {
    // Nobody chooses the directory on a page: what stands there is looked
    // at as soon as the kit's tables are read, and the kit's data is
    // inflated only when the look finds something to change.
    context.kit.SetTableListener([&survey, &context](const std::vector<KitFileEntry>& files,
                                                     const KitReader::DataWanted& wantData) {
      return SurveyTargets(survey, context.templateDirectory, files, wantData);
    });
  }
  const bool prepared = PrepareSetup(context, messages, options.destination);
  context.kit.SetTableListener(nullptr);
  if (!prepared) return TerminationRequested() ? Outcome::Cancelled : Outcome::NotPrepared;
  if (options.plan) return Plan(context, messages, report, freeSpace);
  // From here on, leaving without a run means the user (or a signal) cancelled.
  context.outcome = Outcome::Cancelled;
  if (TerminationRequested()) return context.outcome;
  EngineSettings settings;
  settings.survey = &survey;
  if (report.IsOpen()) {
    // On the worker, which reads the kit anyway.
    settings.onEntryDone = [&report, &files = context.kit.Files()](size_t index, FileAction action) {
      report.AddEntry(RelativePath(files[index]), action, files[index].size);
    };
  }
  if (window) {
    window->Run(settings);
    return context.outcome;
  }
  // "Copying complete..." is held up for a second so a window can show it;
  // without one there is nobody to read it.
  settings.completionPause = std::chrono::milliseconds(0);
  return RunSilentInstallation(context, headless, settings);
}

}  // namespace

Outcome RunSilentInstallation(SetupContext& context, WizardView& view, const EngineSettings& settings,
                              WizardStyle style) {
  WizardFlow flow(context, view, settings, style);
  flow.Start();
  while (!flow.Closed()) {
    // Nothing to draw: progress is looked at now and then, and the end at
    // once.
    flow.WaitForTick(std::chrono::milliseconds(10));
    flow.Tick();
  }
  return context.outcome;
}

Outcome RunSetup(SetupContext& context, WizardFrontEnd* window, WizardView& headless,
                 const UnattendedOptions& options, const std::optional<StartRefusal>& refusal) {
  FrontEnd& messages = window ? static_cast<FrontEnd&>(*window) : headless;
  RunReport report(options.plan ? RunReport::Kind::Plan : RunReport::Kind::Run);
  if (options.report) {
    // Whoever asked for a report reads the outcome there; without one the
    // run does not begin.
    if (const ErrorCode code = report.OpenFile(*options.report)) {
      return Refuse(context, messages, code, LookUpMessage("IDS_ERROR_REPORT") + u"\n" + *options.report);
    }
  } else if (options.plan) {
    report.OpenStandardOutput();
  }
  std::optional<uint64_t> freeSpace;
  const Outcome outcome = refusal ? Refuse(context, messages, refusal->code, refusal->text)
                                  : Proceed(context, window, headless, messages, options, report, freeSpace);
  ErrorCode code = CodeOf(context.result);
  if (code == 0 && outcome == Outcome::Cancelled) code = kErrorCancelled;
  report.Finish({static_cast<int>(outcome), code, context.templateDirectory, context.shownMessage, freeSpace});
  return outcome;
}

}  // namespace setup
