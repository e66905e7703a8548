// One HTTP GET to the update server through libcurl, with the reply collected whole in memory.
// Every transfer is bounded: a connect time-out, a low-speed limit that ends a stalled transfer,
// a total deadline and a cap on the body size. An https URL is only accepted with a certificate
// that verifies. A GET blocks its calling thread; any number of threads may request at once.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// The outcome of one GET: the request URL, the HTTP status and the body byte for byte.
class HTTPResponse {
 public:
  explicit HTTPResponse(std::string url);

  // The full request URL, zero-terminated.
  const char* get_request() const { return url.c_str(); }
  long get_status() const { return status; }
  // The body as modifiable zero-terminated text, so that callers can cut it into lines in place.
  // A body holding NUL bytes ends, as text, at the first of them.
  char* get_response() { return body.data(); }

  void set_status(long newStatus) { status = newStatus; }
  // Appends count bytes to the body.
  void process(const char* bytes, size_t count) { body.append(bytes, count); }
  size_t body_size() const { return body.size(); }

 private:
  std::string url;
  long status = 0;
  std::string body;
};

// Bounds of every transfer. The defaults suit a real server far away; tests lower them.
struct HTTPLimits {
  // Longest wait for the TCP (and TLS) connection to stand.
  long connectTimeoutMs = 15000;
  // A transfer slower than lowSpeedBytesPerSecond for lowSpeedSeconds in a row ends with an
  // error: a server that accepted and then went silent cannot hold a request forever.
  // The floor lies far below any real server's rate yet above a server that drips a byte now
  // and then, which would otherwise hold a request without end.
  long lowSpeedBytesPerSecond = 1024;
  long lowSpeedSeconds = 30;
  // Longest a whole transfer may last, whatever the rate: the largest build over a slow line
  // takes well under this.
  long totalTimeoutMs = 600000;
  // Largest body accepted. A bird file arrives as Base64 text of about four thirds of its size;
  // the largest build is a few megabytes, so this leaves a wide margin while keeping a runaway
  // reply from eating the machine's memory.
  size_t maxBodyBytes = size_t{64} << 20;
};

class HTTPRequest {
 public:
  // Requests url, then "?" when query has pairs, then key=value& for each pair in ascending key
  // order, each value escaped once by libcurl (a blank, "#" or "&" stays inside its value).
  // Returns the response whatever its status. Throws std::runtime_error, saying why, when the
  // transfer fails.
  static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& query);

  // The limits of every later GET, on any thread. Meant to be set before requests start.
  static void SetLimits(const HTTPLimits& limits);
  static HTTPLimits GetLimits();
};
