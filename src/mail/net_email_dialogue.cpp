// The SMTP dialogue: one server reply at a time moves the state machine,
// usually by sending exactly one command. Replies are assembled from the
// received blocks first, so a reply split over several blocks, or a
// multi-line reply, counts once.

#include <algorithm>
#include <cstring>
#include <vector>

#include "mail/mail_text.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "platform/ascii_text.h"
#include "platform/winsock_errors.h"

namespace vm::mail {

namespace {

constexpr char kProcess[] = "NetEmailSend.Process";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Code of a reply line: its first three bytes as a number, 0 when they are
// not three digits.
int ReplyCode(std::string_view line) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool IsContinuation(std::string_view line) {
  return ReplyCode(line) != 0 && line.size() > 3 && line[3] == '-';
}

}  // namespace

void NetEmailSend::Open(std::string_view server, uint16_t port) {
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  _SERVERREPLYBUFFERLEN = 0;
  _SERVERREPLYBUFFER.clear();
  ++conn_generation_;
  SetTls(security_ == Security::kTls ? net::TlsMode::kImplicit : net::TlsMode::kNone, tls_options_);
  NetSimple::Open(server, port);
}

void NetEmailSend::ConnectDone(int32_t result) {
  if (result == 0) return;  // the greeting moves the dialogue on
  // ErrorTrap has reported the failure and discarded the queue; the result
  // is the same as for an open that fails at once.
  reply_timer_.Disarm();
  ERROR = net::kNetErrCouldNotOpen;
  _STATE = kEsNotConnected;
  ProgressOff();
}

void NetEmailSend::Close() {
  ++conn_generation_;
  reply_timer_.Disarm();
  data_reader_.reset();
  NetSimple::Close();
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  _STATE = kEsNotConnected;
  _SERVERREPLYBUFFER.clear();
  _SERVERREPLYBUFFERLEN = 0;
}

void NetEmailSend::Abort() {
  ++conn_generation_;
  reply_timer_.Disarm();
  data_reader_.reset();
  NetSimple::Abort();
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  _STATE = kEsNotConnected;
  _SERVERREPLYBUFFER.clear();
  _SERVERREPLYBUFFERLEN = 0;
}

void NetEmailSend::ProgressReset() {
  if (PROGRESSCONTROL == 0 || progress_view_ == nullptr) return;
  progress_view_->SetRange(PROGRESSCONTROL, 0, 1000);
  progress_view_->SetVisible(PROGRESSCONTROL, true);
  progress_view_->SetValue(PROGRESSCONTROL, 0);
  progress_view_->Redisplay(PROGRESSCONTROL);
}

void NetEmailSend::ProgressOff() {
  if (PROGRESSCONTROL == 0 || progress_view_ == nullptr) return;
  progress_view_->SetVisible(PROGRESSCONTROL, false);
  progress_view_->SetValue(PROGRESSCONTROL, 0);
  progress_view_->Redisplay(PROGRESSCONTROL);
}

void NetEmailSend::ArmReplyTimer() {
  if (reply_timeout_ms_ <= 0) return;
  reply_timer_.Arm(_CONNECTION.THREAD, ReplyTimerEvent(),
                   std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_timeout_ms_));
}

void NetEmailSend::StartDialogue() {
  ProgressReset();
  if (OPENFLAG == 0) {
    Open(FieldValue(SERVER, kServerWidth), PORT);
    if (OPENFLAG == 0) {
      ERROR = net::kNetErrCouldNotOpen;
      _STATE = kEsNotConnected;
      ProgressOff();
      return;
    }
    _STATE = kEsConnecting;
    ArmReplyTimer();
  } else if (_STATE == kEsNotConnected) {
    _AFTERERRORTRYNEXTMESSAGE = 0;
    _NOMESSAGEADDEDYET = 0;
    ErrorTrap("Illegal State. NET:ES_NOTCONNECTED in section of SendMail.",
              "NetEmailSend.SendMail");
    ProgressOff();
  } else if (_STATE == kEsConnectedAndIdle) {
    _STATE = kEsHelo;
    awaiting_ = Awaiting::kRset;
    SendLine("RSET");
  }
}

void NetEmailSend::SendRaw(std::string_view bytes) {
  const size_t n = std::min(bytes.size(), sizeof PACKET.BINDATA);
  std::memcpy(PACKET.BINDATA, bytes.data(), n);
  PACKET.BINDATALEN = static_cast<int32_t>(n);
  Send();
}

void NetEmailSend::SendLine(std::string_view line, std::string_view shown) {
  std::string text(platform::TrimRight(line));
  Trace("C: " + (shown.empty() ? text : std::string(shown)), "NetEmailSend.SendLine");
  text += "\r\n";
  SendRaw(text);
  // A failed send has been reported already; no reply will come.
  if (line != "QUIT" && OPENFLAG == 1) ArmReplyTimer();
}

void NetEmailSend::Process() {
  std::string_view block(PACKET.BINDATA,
                         static_cast<size_t>(std::clamp(PACKET.BINDATALEN, 0, net::kMaxBinData)));
  const std::string process_fn =
      "NetEmailSend.Process (" + std::string(FieldValue(_SERVERDESC, 80)) + ")";
  if (OPENFLAG == 0 && _STATE == kEsNotConnected) {
    // Data still arriving after we closed (such as the reply to QUIT, which
    // is not awaited) belongs to no dialogue any more.
    Trace("Ignoring " + std::to_string(block.size()) +
              " bytes that arrived after the connection was closed",
          process_fn);
    return;
  }
  const bool complete = block.size() >= 2 && block.substr(block.size() - 2) == "\r\n";
  const bool had_buffered = !_SERVERREPLYBUFFER.empty();
  _SERVERREPLYBUFFER.append(block);
  if (!complete) {
    Trace("Warning. We Received Data from " + std::string(FieldValue(_SERVERDESC, 80)) +
              " Server - but did not receive a whole line. Will store the line in the buffer",
          process_fn);
  } else if (had_buffered) {
    Trace("Okay we put the buffered lines together and got [" + _SERVERREPLYBUFFER + "]",
          process_fn);
  }
  if (ERROR != 0) {
    _SERVERREPLYBUFFER.clear();
    _SERVERREPLYBUFFERLEN = 0;
    _AFTERERRORTRYNEXTMESSAGE = 1;
    ErrorTrap("Error reading data from the " + std::string(FieldValue(_SERVERDESC, 80)) + " Server",
              kProcess);
    DropAndMoveOn();
    return;
  }
  // Hand every complete reply to the state machine, in order. A reply ends
  // with a line whose code is not followed by "-".
  const uint64_t generation = conn_generation_;
  for (;;) {
    size_t pos = 0;
    size_t reply_end = std::string::npos;
    std::string first_line;
    int code = 0;
    while (pos < _SERVERREPLYBUFFER.size()) {
      const size_t lf = _SERVERREPLYBUFFER.find('\n', pos);
      if (lf == std::string::npos) break;
      std::string_view line(_SERVERREPLYBUFFER.data() + pos, lf - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (pos == 0) first_line = std::string(line);
      pos = lf + 1;
      if (!IsContinuation(line)) {
        code = ReplyCode(line);
        reply_end = pos;
        break;
      }
    }
    if (reply_end == std::string::npos) {
      if (_SERVERREPLYBUFFER.size() < kReplyBufferSize) break;
      // A reply this long is not SMTP: take it whole as an unreadable reply.
      first_line = _SERVERREPLYBUFFER.substr(0, 255);
      reply_end = _SERVERREPLYBUFFER.size();
      code = 0;
    }
    last_reply_.assign(_SERVERREPLYBUFFER, 0, reply_end);
    for (size_t at = 0; at < last_reply_.size();) {
      const size_t lf = std::min(last_reply_.find('\n', at), last_reply_.size());
      std::string_view line(last_reply_.data() + at, lf - at);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Trace("S: " + std::string(line), "NetEmailSend.Process");
      at = lf + 1;
    }
    _SERVERREPLYBUFFER.erase(0, reply_end);
    std::string text = first_line.size() > 3 ? first_line.substr(3) : std::string();
    if (text.size() > kServerErrorDescWidth) text.resize(kServerErrorDescWidth);
    HandleReply(code, std::string(platform::Trim(text)));
    if (generation != conn_generation_) return;
  }
  _SERVERREPLYBUFFERLEN = static_cast<int32_t>(_SERVERREPLYBUFFER.size());
}

bool NetEmailSend::ReplyAccepted(int code) const {
  switch (_STATE) {
    case kEsConnecting:
      return code == 220;
    case kEsHelo:
      if (awaiting_ == Awaiting::kPassword) return code == 235;
      if (awaiting_ == Awaiting::kNone &&
          !(runtime::IsBlank(AUTHUSER) && runtime::IsBlank(AUTHPASSWORD)))
        return code == 235;
      return code == 250;
    case kEsMailFrom:
    case kEsRcptTo:
      return code == 250 || code == 251;
    case kEsData:
      return code == 354;
    case kEsSendingData:
    case kEsEhlo:
      return code == 250;
    case kEsAuthLogin:
    case kEsAuthUser:
      return code == 334;
    case kEsStartTls:
      return code == 220;
    default:
      return false;
  }
}

void NetEmailSend::HandleReply(int code, const std::string& text) {
  reply_timer_.Disarm();
  if (_STATE == kEsConnectedAndIdle) {
    if (DATAQUEUE == nullptr || DATAQUEUE->empty()) return;
    _STATE = kEsHelo;
    awaiting_ = Awaiting::kNone;
  }
  switch (_STATE) {
    case kEsNotConnected:
    case kEsConnecting:
    case kEsHelo:
    case kEsEhlo:
    case kEsAuthLogin:
    case kEsAuthUser:
    case kEsStartTls:
    case kEsTlsHandshake:
      if (!ReplyAccepted(code)) return FatalError(code, text);
      break;
    case kEsMailFrom:
    case kEsRcptTo:
    case kEsData:
    case kEsSendingData:
      if (!ReplyAccepted(code)) return MessageError(code, text);
      break;
    default:
      _AFTERERRORTRYNEXTMESSAGE = 1;
      ErrorTrap("Error. NetEmailSend - no state found. State = " + std::to_string(_STATE),
                kProcess);
      return DropAndMoveOn();
  }
  switch (_STATE) {
    case kEsConnecting:
      SendGreeting();
      break;
    case kEsHelo:
      HeloAccepted();
      break;
    case kEsMailFrom:
    case kEsRcptTo:
      NextRecipient();
      break;
    case kEsData:
      SendMessageData();
      break;
    case kEsSendingData:
      MessageDone();
      break;
    case kEsEhlo:
      AfterEhlo();
      break;
    case kEsStartTls:
      BeginStartTls();
      break;
    case kEsAuthLogin:
      _STATE = kEsAuthUser;
      SendLine(NetBase64Encode(FieldValue(AUTHUSER, kServerWidth)), "****");
      break;
    case kEsAuthUser:
      _STATE = kEsHelo;
      awaiting_ = Awaiting::kPassword;
      SendLine(NetBase64Encode(FieldValue(AUTHPASSWORD, kServerWidth)), "****");
      break;
    default:
      break;
  }
}

void NetEmailSend::SendMailFrom() {
  _LISTINDEX = 0;
  _LISTWHICH = 0;
  _STATE = kEsMailFrom;
  std::string name, address;
  if (!GetEmailAddress(DATAQUEUE->front().FROM, 1, &name, &address)) {
    ERROR = kNetErrMissingProperties;
    _AFTERERRORTRYNEXTMESSAGE = 1;
    ErrorTrap("Invalid from address found in data queue", kProcess);
    return DropAndMoveOn();
  }
  SendLine("MAIL FROM: <" + address + ">");
}

void NetEmailSend::NextRecipient() {
  const DataQueueRecord& rec = DATAQUEUE->front();
  std::string name, address;
  while (_LISTWHICH <= 2) {
    const std::string& list = _LISTWHICH == 0   ? rec.TOLIST
                              : _LISTWHICH == 1 ? rec.CCLIST
                                                : rec.BCCLIST;
    ++_LISTINDEX;
    if (GetEmailAddress(list, _LISTINDEX, &name, &address)) {
      _STATE = kEsRcptTo;
      SendLine("RCPT TO: <" + address + ">");
      return;
    }
    _LISTINDEX = 0;
    ++_LISTWHICH;
  }
  _STATE = kEsData;
  SendLine("DATA");
}

void NetEmailSend::EscapeDots() {
  const size_t n = static_cast<size_t>(std::clamp(PACKET.BINDATALEN, 0, net::kMaxBinData));
  const char* in = PACKET.BINDATA;
  // A line starts at the first byte when the last piece ended with CR LF,
  // and after every CR LF. Only the starts that hold a dot change anything,
  // and most pieces have none: those are left as they are.
  std::vector<size_t> dots;
  if (n > 0 && dots_line_start_ && in[0] == '.') dots.push_back(0);
  for (const char* lf = static_cast<const char*>(std::memchr(in, '\n', n)); lf != nullptr;
       lf = static_cast<const char*>(std::memchr(lf + 1, '\n', n - (lf + 1 - in)))) {
    const size_t at = static_cast<size_t>(lf - in);
    const bool after_cr = at > 0 ? in[at - 1] == '\r' : dots_after_cr_;
    if (after_cr && at + 1 < n && in[at + 1] == '.') dots.push_back(at + 1);
  }
  if (n > 0) {
    dots_line_start_ = in[n - 1] == '\n' && (n > 1 ? in[n - 2] == '\r' : dots_after_cr_);
    dots_after_cr_ = in[n - 1] == '\r';
  }
  if (dots.empty()) return;
  std::string out;
  out.reserve(n + dots.size());
  size_t from = 0;
  for (size_t at : dots) {
    out.append(in + from, at - from);
    out.push_back('.');
    from = at;
  }
  out.append(in + from, n - from);
  const size_t m = std::min(out.size(), sizeof PACKET.BINDATA);
  std::memcpy(PACKET.BINDATA, out.data(), m);
  PACKET.BINDATALEN = static_cast<int32_t>(m);
}

void NetEmailSend::SendMessageData() {
  _STATE = kEsSendingData;
  dots_line_start_ = true;
  dots_after_cr_ = false;
  data_handed_ = 0;
  data_moved_ = -1;
  platform::Env* env = env_ != nullptr ? env_ : platform::Env::Default();
  data_reader_ = std::make_unique<OutgoingMessageReader>(DATAQUEUE->front().MESSAGE, env);
  // A peer that stops taking the message runs into the reply time limit;
  // data that moves counts as progress (OnReplyTimer).
  ArmReplyTimer();
  PumpMessageData();
}

void NetEmailSend::QueueHasRoom() {
  if (_STATE == kEsSendingData && data_reader_ != nullptr && OPENFLAG == 1) PumpMessageData();
}

// Makes pieces of the message and hands them over until the connection
// holds kDataQueueHigh bytes of it (then waits for QueueHasRoom) or the
// message is all out (then sends the end line and awaits the reply).
void NetEmailSend::PumpMessageData() {
  const uint64_t generation = conn_generation_;
  for (;;) {
    GetOutgoingPackets(2);
    if (OUTGOINGDLLPACKETSBYTES >= kDataQueueHigh) {
      NotifyWhenQueuedBelow(kDataQueueLow);
      return;
    }
    size_t got = 0;
    const auto state = data_reader_->Read(PACKET.BINDATA, kDataPieceSize, &got);
    if (state == OutgoingMessageReader::State::kFailed) return AttachmentFailed();
    if (state == OutgoingMessageReader::State::kEnd) break;
    PACKET.BINDATALEN = static_cast<int32_t>(got);
    EscapeDots();
    data_handed_ += PACKET.BINDATALEN;
    Send();
    // A failed send has been reported and may have ended the connection.
    if (generation != conn_generation_ || OPENFLAG == 0) return;
  }
  data_reader_.reset();
  SendRaw("\r\n.\r\n");
  if (generation != conn_generation_ || OPENFLAG == 0) return;
  ArmReplyTimer();
}

// An attached file no longer reads as it did when the message was composed:
// the message is given up before its end line, and the connection is
// aborted so that the server drops what it received of it. The next queued
// message goes on a fresh connection.
void NetEmailSend::AttachmentFailed() {
  const AttachmentFailure failure = data_reader_->failure();
  data_reader_.reset();
  const std::string via = " while it was being sent via " +
                          std::string(FieldValue(_SERVERDESC, 80)) + ". The message was not sent";
  std::string text;
  switch (failure.kind) {
    case AttachmentFailure::Kind::kReadError:
      text = "Error reading attached file (" + failure.path + ") for sending via " +
             std::string(FieldValue(_SERVERDESC, 80)) + ". Error = " +
             (failure.status.code() == platform::Code::kAccessDenied ? "5 Access Denied"
                                                                     : "90 File System Error");
      break;
    case AttachmentFailure::Kind::kChangedSize:
      text = "Attached file (" + failure.path + ") changed size" + via;
      break;
    case AttachmentFailure::Kind::kReplaced:
      text = "Attached file (" + failure.path + ") was removed or replaced" + via;
      break;
  }
  _AFTERERRORTRYNEXTMESSAGE = 1;
  ERROR = kNetErrFile;
  ErrorTrap(text, kProcess);
  DeleteCurrentRecord();
  Abort();
  if (DATAQUEUE != nullptr && !DATAQUEUE->empty()) {
    Reopen();
  } else {
    ProgressOff();
  }
}

void NetEmailSend::DeleteCurrentRecord() {
  data_reader_.reset();
  if (DATAQUEUE != nullptr && !DATAQUEUE->empty()) DATAQUEUE->pop_front();
}

void NetEmailSend::Reopen() {
  Open(FieldValue(SERVER, kServerWidth), PORT);
  if (OPENFLAG == 0) {
    ERROR = net::kNetErrCouldNotOpen;
    _STATE = kEsNotConnected;
    return;
  }
  _STATE = kEsConnecting;
  ArmReplyTimer();
}

// Every message sent on the connection has its outcome by now (the reply to
// its end of data): a server that has closed the connection already, as
// many do after their last reply, is no failure of any of them.
void NetEmailSend::SendQuit() {
  const uint8_t quiet = DONTERRORTRAPINSENDIFCONNECTIONCLOSED;
  DONTERRORTRAPINSENDIFCONNECTIONCLOSED = 1;
  SendLine("QUIT");
  DONTERRORTRAPINSENDIFCONNECTIONCLOSED = quiet;
}

void NetEmailSend::MoveOn() {
  DeleteCurrentRecord();
  const bool reached =
      RECONNECTAFTERXMSGS > 0 && _MESSAGESSENTONCURRENTCONNECTION >= RECONNECTAFTERXMSGS;
  if (DATAQUEUE != nullptr && !DATAQUEUE->empty()) {
    if (reached) {
      SendQuit();
      Close();
      Reopen();
    } else {
      _STATE = kEsHelo;
      awaiting_ = Awaiting::kRset;
      SendLine("RSET");
    }
    return;
  }
  if (OPTIONSKEEPCONNECTIONOPEN == 0 || reached) {
    SendQuit();
    Close();
    _STATE = kEsNotConnected;
  } else {
    _STATE = kEsHelo;
    awaiting_ = Awaiting::kRset;
    SendLine("RSET");
  }
  ProgressOff();
}

void NetEmailSend::DropAndMoveOn() {
  if (OPENFLAG == 0) {
    // Nothing to move on with: the connection is gone.
    DeleteCurrentRecord();
    return;
  }
  MoveOn();
}

void NetEmailSend::MessageDone() {
  ++_MESSAGESSENTONCURRENTCONNECTION;
  const uint64_t generation = conn_generation_;
  MessageSent();
  if (generation != conn_generation_ || DATAQUEUE == nullptr) return;
  MoveOn();
}

void NetEmailSend::MessageError(int code, const std::string& text) {
  const std::string desc(FieldValue(_SERVERDESC, 80));
  if (code == 0 && ERROR == 0) ERROR = kNetErrCorruptReply;
  _AFTERERRORTRYNEXTMESSAGE = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text;
  ErrorTrap("Error in this Message. " + desc + " server sent error = " + std::to_string(code) +
                " " + text + " State = " + std::to_string(_STATE) +
                ". Will try and send next email",
            kProcess);
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  DeleteCurrentRecord();
  Abort();
  if (DATAQUEUE != nullptr && !DATAQUEUE->empty()) {
    Reopen();
  } else {
    ProgressOff();
  }
}

void NetEmailSend::FatalError(int code, const std::string& text) {
  const std::string desc(FieldValue(_SERVERDESC, 80));
  // A reply without a code is no SMTP: its number says so, since a failure
  // left at 0 would read as a message sent.
  if (code == 0 && ERROR == 0) ERROR = kNetErrCorruptReply;
  _AFTERERRORTRYNEXTMESSAGE = 1;
  SERVERERRORNUM = code;
  SERVERERRORDESC = text;
  ErrorTrap("Fatal Error. " + desc + " server sent error = " + std::to_string(code) + " " + text +
                " State = " + std::to_string(_STATE) + ". Will abort all messages in the DataQueue",
            kProcess);
  SERVERERRORNUM = 0;
  SERVERERRORDESC.clear();
  FreeDataQueue();
  Close();
  ProgressOff();
}

void NetEmailSend::ConnectionClosed() {
  _MESSAGESSENTONCURRENTCONNECTION = 0;
  if (_STATE == kEsNotConnected) return;
  _AFTERERRORTRYNEXTMESSAGE = 0;
  _NOMESSAGEADDEDYET = 0;
  // The server ended the dialogue before the message's end of data was
  // answered; the number says so (0 would read as a message sent).
  if (ERROR == 0) ERROR = platform::kWsaEdiscon;
  ErrorTrap("The (" + std::string(FieldValue(_SERVERDESC, 80)) + ") server closed the connection",
            "NetEmailSend.ConnectionClosed");
  _STATE = kEsNotConnected;
}

void NetEmailSend::OnReplyTimer() {
  if (!reply_timer_.Expired()) return;
  if (_STATE == kEsSendingData) {
    // While the message is still going out, bytes leaving the connection's
    // queue count as progress; the wait for the reply starts when they stop.
    GetOutgoingPackets(2);
    const int64_t moved = data_handed_ - OUTGOINGDLLPACKETSBYTES;
    if ((data_reader_ != nullptr || OUTGOINGDLLPACKETSBYTES > 0) && moved != data_moved_) {
      data_moved_ = moved;
      ArmReplyTimer();
      return;
    }
  }
  reply_timer_.Disarm();
  const std::string limit = reply_timeout_ms_ % 1000 == 0
                                ? std::to_string(reply_timeout_ms_ / 1000) + " seconds"
                                : std::to_string(reply_timeout_ms_) + " milliseconds";
  // A server that stops half-way through the TLS handshake fails it.
  const bool handshake = TlsHandshaking();
  const int32_t error = handshake ? net::kNetErrTlsHandshake : kNetErrTimeout;
  const std::string desc(FieldValue(_SERVERDESC, 80));
  _AFTERERRORTRYNEXTMESSAGE = 1;
  ERROR = error;
  ErrorTrap((handshake ? "The TLS handshake with the " + desc + " Server did not end within "
                       : "No reply from the " + desc + " Server within ") +
                limit + ". State = " + std::to_string(_STATE) +
                ". Will abort all messages in the DataQueue",
            "NetEmailSend.TakeEvent");
  FreeDataQueue();
  Abort();
  if (ERROR == 0) ERROR = error;
  ProgressOff();
}

void NetEmailSend::CalcProgress() {
  if (DATAQUEUE == nullptr || DATAQUEUE->empty()) {
    PROGRESS1000 = 1000;
    PROGRESSBYTESTOGO = 0;
    PROGRESSBYTESMAX = 0;
    return;
  }
  int64_t total = 0;
  for (const DataQueueRecord& rec : *DATAQUEUE) total += static_cast<int64_t>(rec.WHOLEMESSAGELEN);
  if (total > PROGRESSBYTESMAX) PROGRESSBYTESMAX = total;
  if (_STATE == kEsSendingData) {
    // The message going out counts with the bytes still waiting in the
    // connection and those not made yet.
    const int64_t length = static_cast<int64_t>(DATAQUEUE->front().WHOLEMESSAGELEN);
    total -= length;
    GetOutgoingPackets(2);
    total += OUTGOINGDLLPACKETSBYTES;
    if (data_reader_ != nullptr) total += length - static_cast<int64_t>(data_reader_->position());
  }
  PROGRESSBYTESTOGO = std::max<int64_t>(total, 0);
  PROGRESS1000 =
      PROGRESSBYTESMAX > 0
          ? static_cast<int32_t>(std::clamp<int64_t>(
                (PROGRESSBYTESMAX - PROGRESSBYTESTOGO) * 1000 / PROGRESSBYTESMAX, 0, 1000))
          : 1000;
  if (PROGRESSCONTROL != 0 && progress_view_ != nullptr) {
    progress_view_->SetValue(PROGRESSCONTROL, PROGRESS1000);
    progress_view_->Redisplay(PROGRESSCONTROL);
  }
}

}  // namespace vm::mail
