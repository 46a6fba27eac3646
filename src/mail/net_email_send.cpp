#include "mail/net_email_send.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "mail/mail_lists.h"
#include "mail/mail_text.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/winsock_errors.h"

namespace vm::mail {

namespace {

std::atomic<int32_t> g_message_counter{0};

constexpr size_t kWorkingTextWidth = 512;
constexpr size_t kShrinkSlack = 65535;

}  // namespace

int32_t NetEmailSend::MessageCounter() {
  return g_message_counter.load();
}
void NetEmailSend::SetMessageCounter(int32_t value) {
  g_message_counter.store(value);
}
int32_t NetEmailSend::NextMessageNumber() {
  return ++g_message_counter;
}

NetEmailSend::NetEmailSend() = default;

NetEmailSend::~NetEmailSend() {
  reply_timer_.Stop();
}

void NetEmailSend::Init() {
  NetSimple::Init(0);
  // An unreachable server must not hold up the owner's thread.
  SetAsyncOpen(true);
  if (!_SERVERDESC_SET) {
    _SERVERDESC_SET = 1;
    _WHAT = 1;
    _SERVERDESC = "Email (SMTP)";
    if (runtime::IsBlank(XMAILER)) XMAILER = "Linkora Email 2.4";
    if (PORT == 0) PORT = 25;
  }
  if (!_INITED) {
    PORT = 25;
    OPTIONSMIMETEXTCHARSET = "us-ascii";
    OPTIONSMIMETEXTTRANSFERENCODING = "7bit";
    OPTIONSMIMEHTMLCHARSET = "us-ascii";
    OPTIONSMIMEHTMLTRANSFERENCODING = "quoted-printable";
  }
  _DATAQUEUE = std::make_unique<DataQueue>();
  DATAQUEUE = _DATAQUEUE.get();
}

void NetEmailSend::Kill() {
  reply_timer_.Stop();
  NetSimple::Kill();
  FreeDataQueue();
  _DATAQUEUE.reset();
  DATAQUEUE = nullptr;
  FreeMessageBuffers();
  // Closes the attached files of the last message.
  last_composed_.reset();
  composed_text_.clear();
  composed_text_made_ = false;
}

void NetEmailSend::TakeEvent(int32_t event) {
  if (_INITALISED && event == ReplyTimerEvent()) {
    OnReplyTimer();
    return;
  }
  NetSimple::TakeEvent(event);
}

int32_t NetEmailSend::SetRequiredMessageSize(int64_t whole_size, int64_t text_size,
                                             int64_t html_size) {
  ERROR = 0;
  if (whole_size < 0 || text_size < 0 || html_size < 0) {
    ErrorTrap("Invalid String Size (less than zero) passed to function",
              "NetEmailSend.SetRequiredMEssageSize");
    ERROR = kNetErrInvalidSize;
    return ERROR;
  }
  WHOLEMESSAGELEN = whole_size;
  MESSAGETEXTLEN = text_size;
  MESSAGEHTMLLEN = html_size;
  struct Want {
    ByteBuffer* buffer;
    size_t size;
  };
  const Want wants[] = {{&MESSAGETEXT, static_cast<size_t>(text_size)},
                        {&MESSAGEHTML, static_cast<size_t>(html_size)},
                        {&WHOLEMESSAGE, static_cast<size_t>(whole_size)}};
  for (const Want& w : wants) {
    if (w.size <= w.buffer->capacity() && w.buffer->capacity() <= w.size + kShrinkSlack) continue;
    if (!w.buffer->Allocate(w.size)) {
      ERROR = kNetErrMemory;
      _NOMESSAGEADDEDYET = 1;
      ErrorTrap("Unable to allocate memory required for sending " +
                    std::string(FieldValue(_SERVERDESC, 80)) + ".",
                "NetEmailSend.SetRequiredMessageSize");
      return ERROR;
    }
  }
  return ERROR;
}

void NetEmailSend::SetMessageText(std::string_view text) {
  const size_t n = std::min(text.size(), MESSAGETEXT.capacity());
  if (n > 0) std::memcpy(MESSAGETEXT.data(), text.data(), n);
}

void NetEmailSend::SetMessageHtml(std::string_view html) {
  const size_t n = std::min(html.size(), MESSAGEHTML.capacity());
  if (n > 0) std::memcpy(MESSAGEHTML.data(), html.data(), n);
}

void NetEmailSend::SetWholeMessage(std::string_view message) {
  const size_t n = std::min(message.size(), WHOLEMESSAGE.capacity());
  if (n > 0) std::memcpy(WHOLEMESSAGE.data(), message.data(), n);
}

std::string_view NetEmailSend::ComposedMessage() const {
  if (last_composed_ == nullptr) {
    if (WHOLEMESSAGE.data() == nullptr || WHOLEMESSAGELEN <= 0) return {};
    return std::string_view(WHOLEMESSAGE.data(), std::min(static_cast<size_t>(WHOLEMESSAGELEN),
                                                          WHOLEMESSAGE.capacity()));
  }
  if (last_composed_->files().empty()) return last_composed_->text();
  if (!composed_text_made_) {
    // Read as it would be sent; a file that changed since leaves the text
    // cut where it stopped reading as composed.
    composed_text_made_ = true;
    platform::Env* env = env_ != nullptr ? env_ : platform::Env::Default();
    OutgoingMessageReader reader(last_composed_, env);
    char piece[65536];
    size_t got = 0;
    while (reader.Read(piece, sizeof piece, &got) == OutgoingMessageReader::State::kData)
      composed_text_.append(piece, got);
  }
  return composed_text_;
}

void NetEmailSend::FreeMessageBuffers() {
  MESSAGETEXT.Free();
  MESSAGEHTML.Free();
  WHOLEMESSAGE.Free();
}

void NetEmailSend::FreeDataQueue() {
  data_reader_.reset();
  if (DATAQUEUE != nullptr) DATAQUEUE->clear();
}

void NetEmailSend::MessageSent() {}

int32_t NetEmailSend::GetEmailAddress(std::string_view list, uint32_t index, std::string* name,
                                      std::string* address) {
  return TakeEmailAddress(list, index, name, address) ? 1 : 0;
}

std::string NetEmailSend::GetHeaderField(std::string_view field) {
  return HeaderFieldValue(ComposedMessage(), field);
}

void NetEmailSend::HeaderFieldsExtracted() {}
void NetEmailSend::MessageComposed() {}
void NetEmailSend::NewsPostingHook() {}

void NetEmailSend::ExpandAttachmentList(std::string* list) {
  *list = ExpandDirectoryForm(*list);
}

void NetEmailSend::ErrorTrap(std::string_view text, std::string_view function) {
  std::string working;
  if (ERROR == platform::kWsaEconnrefused) {
    working = "Could not open a connection to the " + std::string(FieldValue(_SERVERDESC, 80)) +
              " Server";
  } else {
    working = std::string(FieldValue(text, kWorkingTextWidth));
  }
  NetSimple::ErrorTrap(working, function);
  const bool caller_deals = _AFTERERRORTRYNEXTMESSAGE != 0 || _NOMESSAGEADDEDYET != 0;
  // Cleared before the clean-up, so an error raised by Close below is
  // reported as a fresh one.
  _AFTERERRORTRYNEXTMESSAGE = 0;
  _NOMESSAGEADDEDYET = 0;
  if (!caller_deals) {
    FreeDataQueue();
    Close();
    _STATE = kEsNotConnected;
    ProgressOff();
  }
}

}  // namespace vm::mail
