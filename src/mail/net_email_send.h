// NetEmailSend: the SMTP mail object. It composes each message handed to
// SendMail as MIME text, queues it, and drives the SMTP dialogue one server
// reply at a time over its NetSimple connection; success reaches the owner
// through MessageSent, every failure through ErrorTrap. Attached files are
// opened when the message is composed but read and encoded only as the
// connection takes the message (outgoing_message.h). The owner creates it,
// calls Init, sets the fields, SendMail, passes every event of its loop to
// TakeEvent and finally calls Kill. Owner thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/byte_buffer.h"
#include "mail/outgoing_message.h"
#include "mail/reply_timer.h"
#include "net/net_simple.h"

namespace vm::platform {
class Clock;
class Env;
}  // namespace vm::platform

namespace vm::mail {

// Widths of the text fields; longer values are cut to these when used.
inline constexpr size_t kServerWidth = 255;
inline constexpr size_t kListWidth = 8192;
inline constexpr size_t kShortFieldWidth = 80;
inline constexpr size_t kSubjectWidth = 255;
inline constexpr size_t kReferencesWidth = 1024;
inline constexpr size_t kExtraHeaderWidth = 1024;
inline constexpr size_t kXMailerWidth = 60;
inline constexpr size_t kOptionWidth = 40;
inline constexpr size_t kServerErrorDescWidth = 255;
inline constexpr size_t kReplyBufferSize = 16384;

// Size of the pieces the message is sent in after DATA.
inline constexpr int32_t kDataPieceSize = 5120;
// While a message goes out, pieces are made only while fewer than this many
// of its bytes wait in the connection's queue; once it is full, the next ones
// are made when the queue is down to the lower figure. Memory stays bounded
// whatever the message's size, and the socket never runs dry.
inline constexpr int64_t kDataQueueHigh = 512 * 1024;
inline constexpr int64_t kDataQueueLow = 128 * 1024;
// Records of an attachment file and pieces of a quoted-printable body.
inline constexpr size_t kFileRecordSize = 1026;

// Library error number of a send that ran out of time.
inline constexpr int32_t kNetErrTimeout = -53;
inline constexpr int32_t kNetErrFile = -35;
inline constexpr int32_t kNetErrMemory = -32;
inline constexpr int32_t kNetErrMissingProperties = -37;
inline constexpr int32_t kNetErrInvalidSize = -42;
// A server reply that is no SMTP reply (no three-digit code).
inline constexpr int32_t kNetErrCorruptReply = -51;

// Dialogue states (_STATE).
inline constexpr uint32_t kEsNotConnected = 0;
inline constexpr uint32_t kEsConnecting = 71;
inline constexpr uint32_t kEsConnectedAndIdle = 72;
inline constexpr uint32_t kEsHelo = 73;
inline constexpr uint32_t kEsMailFrom = 74;
inline constexpr uint32_t kEsRcptTo = 75;
inline constexpr uint32_t kEsData = 76;
inline constexpr uint32_t kEsSendingData = 77;
inline constexpr uint32_t kEsEhlo = 79;
inline constexpr uint32_t kEsAuthLogin = 80;
inline constexpr uint32_t kEsAuthUser = 81;
// Added for secured connections: STARTTLS was sent (220 awaited), and the
// TLS handshake after it runs (no reply is read until it has ended).
inline constexpr uint32_t kEsStartTls = 82;
inline constexpr uint32_t kEsTlsHandshake = 83;

// How the mail object secures its connection.
enum class Security : uint8_t {
  kNone,      // the plain dialogue
  kStartTls,  // STARTTLS after EHLO is required, then EHLO again over TLS
  kTls,       // TLS from the first byte (port 465)
};

// The name given in EHLO and HELO unless the owner sets another.
inline constexpr char kDefaultHeloName[] = "NetSendMail";

// The zone text of the Date line ("+0200") from the clock's time zone.
std::string NetTimeZoneOffset(const platform::Clock& clock);

// One queued message. The record owns its two body buffers and shares the
// message as it goes out (MESSAGE: its text and its attached files) with the
// object that composed it.
struct DataQueueRecord {
  std::string TOLIST;
  std::string CCLIST;
  std::string BCCLIST;
  std::string FROM;
  std::string REPLYTO;
  std::string ORGANIZATION;
  std::string SUBJECT;
  std::string NEWSGROUP;
  std::string DELIVERYRECEIPTTO;
  std::string DISPOSITIONNOTIFICATIONTO;
  std::string EXTRAHEADER;
  ByteBuffer MESSAGETEXT;
  uint64_t MESSAGETEXTLEN = 0;
  ByteBuffer MESSAGEHTML;
  uint64_t MESSAGEHTMLLEN = 0;
  std::shared_ptr<const OutgoingMessage> MESSAGE;
  uint64_t WHOLEMESSAGELEN = 0;  // MESSAGE->length()
  std::string ATTACHMENTLIST;
};
using DataQueue = std::deque<DataQueueRecord>;

// How the object drives the progress control of its owner's window
// (PROGRESSCONTROL is the control's number). The owner installs one; without
// one the progress figures are kept but nothing is shown.
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void SetRange(int32_t control, int32_t low, int32_t high) = 0;
  virtual void SetVisible(int32_t control, bool visible) = 0;
  virtual void SetValue(int32_t control, int32_t value) = 0;
  virtual void Redisplay(int32_t control) = 0;
};

class NetEmailSend : public net::NetSimple {
 public:
  NetEmailSend();
  ~NetEmailSend() override;

  // Message fields, in declaration order (text fields are used clipped).
  std::string SERVER;
  uint16_t PORT = 0;
  std::string TOLIST;
  std::string CCLIST;
  std::string BCCLIST;
  std::string FROM;
  std::string REPLYTO;
  std::string ORGANIZATION;
  std::string DELIVERYRECEIPTTO;
  std::string DISPOSITIONNOTIFICATIONTO;
  std::string NEWSGROUP;
  std::string SUBJECT;
  std::string REFERENCES;
  std::string ATTACHMENTLIST;
  std::string EMBEDLIST;
  std::string EXTRAHEADER;
  std::string XMAILER;
  ByteBuffer MESSAGETEXT;
  ByteBuffer MESSAGEHTML;
  // Mode 1: the caller's whole message. Mode 2: the composed text, where
  // each attached file's encoding is left out: it is made as the message
  // goes out (ComposedMessage gives the whole text).
  ByteBuffer WHOLEMESSAGE;
  int64_t MESSAGETEXTLEN = 0;
  int64_t MESSAGEHTMLLEN = 0;
  // The estimate while composing, then the length of the whole message with
  // the encodings of its attached files.
  int64_t WHOLEMESSAGELEN = 0;
  int32_t PROGRESS1000 = 0;
  int64_t PROGRESSBYTESTOGO = 0;
  int64_t PROGRESSBYTESMAX = 0;
  int32_t PROGRESSCONTROL = 0;
  int32_t SERVERERRORNUM = 0;
  std::string SERVERERRORDESC;
  DataQueue* DATAQUEUE = nullptr;
  int32_t RECONNECTAFTERXMSGS = 0;
  uint8_t OPTIONSKEEPCONNECTIONOPEN = 0;
  std::string OPTIONSMIMETEXTCHARSET;
  std::string OPTIONSMIMETEXTTRANSFERENCODING;
  uint8_t OPTIONSMIMETEXTDONTENCODE = 0;
  std::string OPTIONSMIMEHTMLCHARSET;
  std::string OPTIONSMIMEHTMLTRANSFERENCODING;
  uint8_t OPTIONSMIMEHTMLDONTENCODE = 0;
  std::string AUTHUSER;
  std::string AUTHPASSWORD;
  std::unique_ptr<DataQueue> _DATAQUEUE;
  uint8_t _WHAT = 0;
  std::string _SERVERDESC;
  uint8_t _SERVERDESC_SET = 0;
  uint8_t _INITED = 0;
  uint32_t _LISTINDEX = 0;
  uint8_t _LISTWHICH = 0;
  uint32_t _SENTONTHISCONNECTION = 0;
  uint32_t _STATE = kEsNotConnected;
  uint8_t _AFTERERRORTRYNEXTMESSAGE = 0;
  uint8_t _NOMESSAGEADDEDYET = 0;
  int32_t _MESSAGESSENTONCURRENTCONNECTION = 0;
  std::string _SERVERREPLYBUFFER;
  int32_t _SERVERREPLYBUFFERLEN = 0;
  uint8_t _MX = 0;

  // Connection set-up (mode 0), the once-per-object defaults, the MIME
  // option defaults and the data queue. The owner sets fields afterwards.
  void Init();
  // Closes the connection, frees the queue and the message buffers, stops
  // the reply timer.
  void Kill();
  // Every event of the owner's loop: NetSimple's events plus the object's
  // reply-timer event.
  void TakeEvent(int32_t event);

  // Virtual operations of NetSimple replaced here.
  void Open(std::string_view server, uint16_t port) override;
  void Close() override;
  void Process() override;
  void ErrorTrap(std::string_view text, std::string_view function) override;
  void ConnectionClosed() override;
  void Abort() override;
  // The end of a TLS handshake (net::NetSimple::TlsDone): after STARTTLS
  // the dialogue goes on with EHLO; a failure (-61, -62, -63) has been
  // reported and the queue discarded, and ERROR keeps its number.
  void TlsDone(int32_t result) override;
  // The outcome of the connect Open started: Init makes opens asynchronous,
  // so SendMail returns while the connect runs and a failure (10061
  // refused, 10060 out of time) arrives as an event: ErrorTrap as for an
  // open that fails at once, then ERROR -39.
  void ConnectDone(int32_t result) override;
  // The connection's queue has drained while a message goes out: the next
  // pieces are made.
  void QueueHasRoom() override;

  // Virtual operations of the mail object, in slot order.
  virtual int32_t SetRequiredMessageSize(int64_t whole_size, int64_t text_size, int64_t html_size);
  virtual void FreeMessageBuffers();
  virtual void SendMail(int32_t mode);
  virtual void MessageSent();
  virtual int32_t GetEmailAddress(std::string_view list, uint32_t index, std::string* name,
                                  std::string* address);
  virtual void FreeDataQueue();
  virtual void CalcProgress();
  virtual std::string GetHeaderField(std::string_view field);
  virtual void HeaderFieldsExtracted();
  virtual void MessageComposed();
  // Rewrites the directory form of a list as a quoted list. Composition no
  // longer goes through it: it reads the directory form itself
  // (SplitAttachmentList), so a name holding a double quote stays whole.
  virtual void ExpandAttachmentList(std::string* list);
  // Dot-stuffs the piece in PACKET.BINDATA/BINDATALEN; line starts are
  // followed across the pieces of one message.
  virtual void EscapeDots();
  virtual void NewsPostingHook();

  // Names one file to attach, taken literally: the whole text is the path,
  // whatever it holds (",", "|", ";", double quotes, backslashes, spaces,
  // non-ASCII bytes), and the attachment is named by the text after its last
  // "/". Use it for a path that comes from elsewhere (a recording's full
  // path): ATTACHMENTLIST is a list and reads such characters as separators
  // or quoting. Files named this way are attached after the entries of
  // ATTACHMENTLIST, in the order added, to every mode-2 message until
  // ClearAttachmentFiles. SendMail fails with ERROR -35, naming the path,
  // when it is not a file that can be opened (a path holding a NUL byte
  // never is).
  void AddAttachmentFile(std::string_view path);
  void ClearAttachmentFiles() { attachment_files_.clear(); }
  const std::vector<std::string>& AttachmentFiles() const { return attachment_files_; }

  // Convenience for owners: copies `text` into MESSAGETEXT / MESSAGEHTML /
  // WHOLEMESSAGE after SetRequiredMessageSize sized it (cut to the size).
  void SetMessageText(std::string_view text);
  void SetMessageHtml(std::string_view html);
  void SetWholeMessage(std::string_view message);
  // The composed message of the last mode-2 SendMail (WHOLEMESSAGELEN bytes),
  // or the supplied one of mode 1. Attached files are read and encoded again
  // for it: it is for small messages (tests, header look-ups).
  std::string_view ComposedMessage() const;

  // Where dates, times and the zone come from (default: the system clock).
  void SetClock(const platform::Clock* clock) { clock_ = clock; }
  // How attachment files are opened (default: the real file system).
  void SetEnv(platform::Env* env) { env_ = env; }
  void SetProgressView(ProgressView* view) { progress_view_ = view; }
  // Longest wait for any one server reply; running out of it ends the send
  // with ERROR -53. Default two minutes; 0 or less = no limit.
  void SetReplyTimeoutMs(int32_t ms) { reply_timeout_ms_ = ms; }
  int32_t reply_timeout_ms() const { return reply_timeout_ms_; }
  // How the connection is secured (default kNone: the dialogue of a plain
  // server, byte for byte) and the certificate checks of kStartTls and
  // kTls. With kStartTls a server whose EHLO reply lacks STARTTLS fails the
  // send with -60 and nothing more is sent. Login (AUTHUSER/AUTHPASSWORD)
  // reads the EHLO reply: AUTH PLAIN when offered, else AUTH LOGIN, else
  // -64; the credentials are sent only over TLS or to a loopback address,
  // else the send fails with -65 before they leave.
  void SetSecurity(Security security, const net::TlsOptions& options = {});
  Security security() const { return security_; }
  // The name given in EHLO/HELO; blank = kDefaultHeloName.
  void SetHeloName(std::string name) { helo_name_ = std::move(name); }

  // The object's reply-timer event (within its block of event numbers).
  int32_t ReplyTimerEvent() const { return _CONNECTION.EVENT + 3; }

  // What follows the host on the right of "@" in the Message-ID. By default
  // every message gets "." + 16 random hex digits, so IDs differ between
  // processes and hosts that compose in the same second; a test that wants
  // a fixed text sets it (an empty text gives the bare host).
  void SetMessageIdTag(std::string tag) {
    message_id_tag_ = std::move(tag);
    fixed_message_id_tag_ = true;
  }

  // The process-wide message counter (incremented by every mode-2 SendMail).
  static int32_t MessageCounter();
  static void SetMessageCounter(int32_t value);

 private:
  static int32_t NextMessageNumber();
  // Composition (net_email_compose.cpp).
  bool ComposeMode2();
  bool TakeMode1();
  bool QueueMessage(int32_t mode);
  bool ReserveWhole(size_t extra);
  void AppendWhole(std::string_view piece);
  void ClipWhole();
  void AppendBody(const std::string& text, const std::string& encoding);
  struct FileToAttach {
    std::string path;
    std::string short_name;
  };
  bool CollectFiles(const std::string& list, std::vector<FileToAttach>* files);
  bool AppendFileParts(const std::vector<FileToAttach>& files, bool embedded,
                       const std::string& boundary);
  std::string MessageIdTag() const;
  std::string DisplayName(const std::string& name) const;
  bool AttachFile(platform::Env* env, const std::string& path);
  std::string HeaderLines(const std::string& id, const std::string& mime_lines);
  void ComposeFail(int32_t error, const std::string& text, const char* function);
  std::string AddressLine(const char* label, const std::string& list);

  // Dialogue (net_email_dialogue.cpp).
  void StartDialogue();
  void HandleReply(int code, const std::string& text);
  // Sends one command line. The transcript (Trace) shows `shown` instead
  // when it is given: credentials never reach a trace.
  void SendLine(std::string_view line, std::string_view shown = {});
  void SendRaw(std::string_view bytes);
  void DropAndMoveOn();
  void SendMailFrom();
  void NextRecipient();
  void SendMessageData();
  void PumpMessageData();
  void AttachmentFailed();
  void MessageDone();
  void DeleteCurrentRecord();
  void MoveOn();
  void SendQuit();
  void Reopen();
  void MessageError(int code, const std::string& text);
  void FatalError(int code, const std::string& text);
  void ProgressOff();
  void ProgressReset();
  void ArmReplyTimer();
  void OnReplyTimer();
  bool ReplyAccepted(int code) const;
  // Secured connections and login (net_email_login.cpp).
  bool CredentialsSet() const;
  bool UsesEhlo() const;
  void SendGreeting();
  void AfterEhlo();
  void SendLogin(const std::string& mechanism);
  void BeginStartTls();
  void HeloAccepted();
  void SecureFail(int32_t error, const std::string& text);

  const platform::Clock* clock_ = nullptr;
  platform::Env* env_ = nullptr;
  ProgressView* progress_view_ = nullptr;
  int32_t reply_timeout_ms_ = 120000;
  ReplyTimer reply_timer_;
  // Bytes of the message handed to the connection, and those of them that
  // had left its queue at the last look of the reply timer.
  int64_t data_handed_ = 0;
  int64_t data_moved_ = -1;
  // Counts closes and opens, so a loop can tell that an error path ended
  // the connection under it.
  uint64_t conn_generation_ = 0;
  bool compose_failed_ = false;

  std::vector<std::string> attachment_files_;
  std::string message_id_tag_;
  bool fixed_message_id_tag_ = false;
  size_t whole_used_ = 0;  // bytes of WHOLEMESSAGE written while composing
  // Clipping never reaches below this: the text before an attached file's
  // encoding was followed by that encoding.
  size_t clip_floor_ = 0;
  std::vector<AttachedFile> composing_files_;
  // The message of the last mode-2 SendMail, and its text with the files'
  // encodings as ComposedMessage made it.
  std::shared_ptr<const OutgoingMessage> last_composed_;
  mutable std::string composed_text_;
  mutable bool composed_text_made_ = false;
  // The message going out after DATA, while pieces of it remain to be made.
  std::unique_ptr<OutgoingMessageReader> data_reader_;
  enum class Awaiting { kNone, kHelo, kRset, kPassword };
  Awaiting awaiting_ = Awaiting::kNone;
  bool dots_line_start_ = true;  // EscapeDots: the next byte starts a line
  bool dots_after_cr_ = false;   // EscapeDots: the last byte was CR
  Security security_ = Security::kNone;
  net::TlsOptions tls_options_;
  std::string helo_name_;
  std::string last_reply_;  // every line of the reply being handled
};

}  // namespace vm::mail
