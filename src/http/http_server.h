#pragma once
// HTTP/1.x on the TCP server: one request per connection, parsed into a request
// record, handed to the dispatch hooks, answered from the response record.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "http/body_budget.h"
#include "http/http_request_info.h"
#include "http/http_response_info.h"
#include "http/tcp_server.h"

namespace ostrivan::http {

// (connection, request, response)
using THTTPCommandEvent = std::function<void(TIOHandler&, THTTPRequestInfo&, THTTPResponseInfo&)>;

// The reply to a body over the server's reading limit, sent before the body is read.
// Whoever sets the limit words it, so the client and the log see what the application
// itself would say: the status, the page text (sent as text/html; charset=utf-8, none
// gives the standard page) and the error-log line (none: nothing logged).
struct TBodyRefusal {
  int status = 413;
  std::string text;
  std::string log_line;
};
// Builds the refusal for the limit in force, in bytes.
using TBodyRefusalBuilder = std::function<TBodyRefusal(int64_t limit)>;

// Whether the caller of a request may go on, asked once its request line and headers
// are read and before anything else is done with it. The request record carries the
// connection's own address (remote_ip), the method and the document.
using TCallerAdmission = std::function<bool(const THTTPRequestInfo& request)>;

class TCustomHTTPServer : public TCustomTCPServer {
 public:
  // Header lines per request, as the connection's block limit (1025 lines pass).
  static constexpr int kDefaultMaximumHeaderLineCount = 1024;
  // How long the rest of a refused body is drained, so the client reads the reply
  // instead of a reset.
  static constexpr std::chrono::milliseconds kRefusedBodyDrainTime{2000};
  // How long a reply that waits for delivery may take to be acknowledged by the client.
  static constexpr std::chrono::milliseconds kDefaultDeliveryDeadline{30000};
  // A reply must make progress: a send that gets no byte taken by the client for this
  // long fails, and a reply that waits for delivery counts as undelivered. A client that
  // neither reads nor closes cannot hold a job (and a thread) for longer.
  static constexpr std::chrono::milliseconds kDefaultSendIdleTimeout{30000};
  // A client must complete its request line and headers within this time, else its
  // connection is closed without a reply: a stalled client must not hold a thread and
  // a descriptor for ever.
  static constexpr std::chrono::milliseconds kDefaultRequestHeadTimeout{60000};
  // A body that sends no byte for this long is given up the same way. Only silence
  // counts: a slow but live upload goes on as long as it keeps sending.
  static constexpr std::chrono::milliseconds kDefaultBodyIdleTimeout{60000};
  // Request bodies held in memory at once, all connections together; a body that does
  // not fit waits unread (TCP holds its client back) until memory is given back.
  static constexpr int64_t kDefaultBodyMemoryBudget = 64 * 1024 * 1024;

  TCustomHTTPServer() = default;
  ~TCustomHTTPServer() override;

  bool KeepAlive() const { return keep_alive_; }
  void SetKeepAlive(bool value) { keep_alive_ = value; }
  int MaximumHeaderLineCount() const { return maximum_header_line_count_; }
  void SetMaximumHeaderLineCount(int value) { maximum_header_line_count_ = value; }
  const std::string& ServerSoftware() const { return server_software_; }
  void SetServerSoftware(std::string value) { server_software_ = std::move(value); }
  // Largest body the server reads into memory, so a longer one is refused without
  // buffering it; 0 or less = no limit (the default: the application hands its own).
  int64_t MaxRequestBodySize() const { return max_request_body_size_.load(); }
  void SetMaxRequestBodySize(int64_t value) { max_request_body_size_.store(value); }
  // How a body over the limit is answered; set before the server is active. Without it
  // the refusal is a bare 413 page.
  void SetBodyRefusal(TBodyRefusalBuilder builder) { body_refusal_ = std::move(builder); }
  // Who may call; set before the server is active. A refused caller gets 403 with the
  // default page before its body is read, and one warning line names its address.
  // Without it every caller goes on.
  void SetCallerAdmission(TCallerAdmission admission) { admission_ = std::move(admission); }
  std::chrono::milliseconds DeliveryDeadline() const { return delivery_deadline_.load(); }
  void SetDeliveryDeadline(std::chrono::milliseconds value) { delivery_deadline_.store(value); }
  std::chrono::milliseconds SendIdleTimeout() const { return send_idle_timeout_.load(); }
  void SetSendIdleTimeout(std::chrono::milliseconds value) { send_idle_timeout_.store(value); }

  // Limits of reading a request; for tests.
  std::chrono::milliseconds RequestHeadTimeout() const { return head_timeout_; }
  void SetRequestHeadTimeout(std::chrono::milliseconds value) { head_timeout_ = value; }
  std::chrono::milliseconds BodyIdleTimeout() const { return body_idle_timeout_; }
  void SetBodyIdleTimeout(std::chrono::milliseconds value) { body_idle_timeout_ = value; }
  TBodyBudget& BodyMemoryBudget() { return body_budget_; }

  void SetOnCommandGet(THTTPCommandEvent handler) { on_command_get_ = std::move(handler); }
  void SetOnCommandOther(THTTPCommandEvent handler) { on_command_other_ = std::move(handler); }

  // The connection loop on any connection (a socket, or bytes in memory). Closes the
  // connection before returning; client disconnects are absorbed, other failures
  // (over-long lines, a request line without a space, ...) are passed on after closing.
  void ProcessConnection(TIOHandler& connection);

 protected:
  void DoExecute(TServerContext& context) override;
  // Hook for HEAD, GET and POST.
  virtual void DoCommandGet(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  // Hook for every other method.
  virtual void DoCommandOther(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  void StopBegun() override;

 private:
  // The loop over the requests of one connection (context: null for one fed from
  // memory); closes the connection before it returns.
  void ServeConnection(TIOHandler& connection, TServerContext* context);
  // One exchange on the connection: read head, read body, dispatch, send the reply.
  // false when the connection is to end. reading_body tells, when a read times out,
  // which limit it was.
  bool ServeOneRequest(TIOHandler& connection, TServerContext* context, bool& reading_body);
  // The request line and headers, parsed into the request record.
  void ReadRequestHead(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  // Parameters and cookies, then the dispatch hooks under the error guard.
  void Dispatch(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response,
                TServerContext* context);
  // Writes the reply and, when someone waits for it, its proof of delivery; false when
  // the connection is to end.
  bool SendReply(TIOHandler& connection, THTTPResponseInfo& response, TServerContext* context);
  void RejectEarly(THTTPResponseInfo& response, int status);
  bool AcceptHeaders(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  // false: the request was answered (or refused) here and the loop ends.
  bool ReadBody(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response,
                TBodyReservation& reservation);
  // Waits for room for bytes of body in the memory budget; raises EClosedSocket when
  // the connection is closed or the server stops meanwhile.
  TBodyReservation ReserveBody(TIOHandler& connection, int64_t bytes);
  void RefuseOversizedBody(TIOHandler& connection, THTTPResponseInfo& response, int64_t pending);
  void RefuseCaller(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);
  void RunGuarded(TIOHandler& connection, THTTPRequestInfo& request, THTTPResponseInfo& response);

  bool keep_alive_ = false;
  int maximum_header_line_count_ = kDefaultMaximumHeaderLineCount;
  std::string server_software_;
  std::atomic<int64_t> max_request_body_size_{0};
  TBodyRefusalBuilder body_refusal_;
  TCallerAdmission admission_;
  std::atomic<std::chrono::milliseconds> delivery_deadline_{kDefaultDeliveryDeadline};
  std::atomic<std::chrono::milliseconds> send_idle_timeout_{kDefaultSendIdleTimeout};
  std::chrono::milliseconds head_timeout_ = kDefaultRequestHeadTimeout;
  std::chrono::milliseconds body_idle_timeout_ = kDefaultBodyIdleTimeout;
  TBodyBudget body_budget_{kDefaultBodyMemoryBudget};
  THTTPCommandEvent on_command_get_;
  THTTPCommandEvent on_command_other_;
};

}  // namespace ostrivan::http
