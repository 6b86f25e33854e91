#include "core/InstallationControl.h"

#include <thread>

#include "i18n/Catalogue.h"

namespace setup {

int32_t ResultOf(ErrorCode code) {
  return code == 0 ? 0 : static_cast<int32_t>(0x80070000u | (code & 0xFFFFu));
}

ErrorCode CodeOf(int32_t result) { return result == 0 ? 0 : static_cast<uint32_t>(result) & 0xFFFFu; }

InstallationControl::InstallationControl(SetupContext& context, FrontEnd& frontEnd, EngineSettings settings,
                                         bool holdAfterError)
    : context_(context), frontEnd_(frontEnd), settings_(std::move(settings)), holdAfterError_(holdAfterError) {}

InstallationControl::~InstallationControl() {
  // Never leave a run behind: cancel it and wait for its rollback.
  if (state_ == State::Running) {
    context_.workerChannel.RequestCancel();
    context_.workerChannel.ReleaseWorker();
    worker_.Join();
  }
}

InstallationControl::State InstallationControl::BeginInstallation() {
  if (state_ != State::Idle) return state_;
  context_.workerChannel.Start(&context_.kit, context_.templateDirectory, holdAfterError_);
  frontEnd_.ShowPage(WizardPage::Progress);
  frontEnd_.ShowProgress(0, LookUpMessage("IDS_PROGRESS_START"));
  state_ = State::Running;
  const ErrorCode started = worker_.Start([this] { RunWorker(context_.workerChannel, settings_); });
  if (started != 0) {
    frontEnd_.ShowMessage(MessageKind::Error, LookUpMessage("IDS_INSTALL_ERROR"));
    errorShown_ = true;
    End(started);
  }
  return state_;
}

InstallationControl::State InstallationControl::PollInstallation() {
  if (state_ != State::Running) return state_;
  // The worker holds the lock only while it copies a few fields; should it
  // not come within one wait, the next poll reads instead.
  WorkerStatus status;
  if (!context_.workerChannel.TryReadStatus(status)) return state_;
  context_.progressText = status.text;
  context_.progressPercent = status.percentage;
  frontEnd_.ShowProgress(status.percentage,
                         LookUpMessage(status.percentage < 100 ? "IDS_PROGRESS_START" : "IDS_INSTALL_FINISH"));
  // The worker rolls back while the message is up; the page changes only
  // once it has finished, so nothing ends before the rollback does.
  if (status.code != 0 && !errorShown_) {
    errorShown_ = true;
    frontEnd_.ShowMessage(MessageKind::Error, status.text);
    shownText_ = status.text;
    context_.workerChannel.ReleaseWorker();
  }
  if (status.finished && status.rollbackIncomplete) {
    // Said once, after the run's own error: the user must know the template
    // directory is not as it was until the next start.
    const std::u16string notRestored = LookUpMessage("IDS_ERROR_NOTRESTORED");
    if (shownText_ != notRestored) frontEnd_.ShowMessage(MessageKind::Error, notRestored);
    shownText_ = notRestored;
  }
  if (status.finished) {
    worker_.Join();
    End(status.result);
  }
  return state_;
}

void InstallationControl::WaitForProgress(std::chrono::milliseconds limit) {
  if (state_ == State::Running) {
    context_.workerChannel.WaitForFinish(limit);
  } else {
    std::this_thread::sleep_for(limit);
  }
}

void InstallationControl::RequestCancel() {
  if (state_ == State::Running) context_.workerChannel.RequestCancel();
}

bool InstallationControl::ConfirmCancelDuringRun(const std::function<bool()>& question) {
  if (state_ != State::Running) return false;
  WorkerChannel& channel = context_.workerChannel;
  channel.HoldWorker();
  const bool yes = question();
  if (yes) channel.RequestCancel();
  channel.ReleaseWorker();
  return yes;
}

void InstallationControl::End(ErrorCode code) {
  context_.result = ResultOf(code);
  if (code == 0) {
    state_ = State::Succeeded;
    context_.outcome = Outcome::Installed;
    frontEnd_.ShowPage(WizardPage::Success);
    CompleteInstallation();
  } else {
    state_ = code == kErrorCancelled ? State::Cancelled : State::Failed;
    context_.outcome = code == kErrorCancelled ? Outcome::Cancelled : Outcome::Failed;
    frontEnd_.ShowPage(WizardPage::Error);
  }
}

void InstallationControl::CompleteInstallation() {
  // The templates are in place whatever happens here, so the run still
  // succeeds; but a directory the starter configuration does not list is one
  // the starter program will not offer, and the user has to know that.
  if (RecordInstalledDirectory(context_, context_.templateDirectory) != kErrorSuccess) {
    frontEnd_.ShowMessage(MessageKind::Plain, LookUpMessage("IDS_WARNING_STARTER"));
  }
}

}  // namespace setup
