#include "firmware/HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "firmware/Log.h"

namespace {

std::mutex _limitsMutex;
HTTPLimits _limits;

// What the write callback needs besides the response: the body cap, and whether it was hit (so
// that the failed transfer can say so instead of libcurl's generic write error).
struct Transfer {
  HTTPResponse* response;
  size_t maxBodyBytes;
  bool bodyTooLarge;
};

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// libcurl's global set-up is not safe to race with a first request on another thread.
void _init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The value as it may stand in a query string; escaping cannot fail short of memory, and a
// value left out is better than one that splits the query.
std::string _escaped(CURL* handle, const std::string& value) {
  char* escaped = curl_easy_escape(handle, value.c_str(), static_cast<int>(value.size()));
  if (escaped == nullptr) return "";
  std::string text(escaped);
  curl_free(escaped);
  return text;
}

std::string _request_url(CURL* handle, const char* url, const std::map<std::string, std::string>& query) {
  std::string full(url);
  if (!query.empty()) full += '?';
  for (const auto& [key, value] : query) {
    full += key;
    full += '=';
    full += _escaped(handle, value);
    full += '&';
  }
  return full;
}

// Logs at most the first 100 bytes of a chunk: the chunk is not zero-terminated.
size_t _rcv_data(char* bytes, size_t size, size_t count, void* userdata) {
  auto* transfer = static_cast<Transfer*>(userdata);
  const size_t total = size * count;
  const int shown = static_cast<int>(std::min<size_t>(total, 100));
  Log::log(Log::DEBUG_ServerComm, "rcv_data called (..., %zu, %zu, %08X) [%100.*s]\n", size, count,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(transfer->response)), shown, bytes);
  if (total > transfer->maxBodyBytes - transfer->response->body_size()) {
    transfer->bodyTooLarge = true;
    return 0;  // any count short of total makes libcurl end the transfer
  }
  transfer->response->process(bytes, total);
  Log::log(Log::DEBUG_ServerComm, "rcv_data returns %zu\n", total);
  return total;
}

// Sets the options in order, stopping at the first that libcurl refuses.
CURLcode _configure(CURL* handle, Transfer& transfer, const HTTPLimits& limits) {
  CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_URL, transfer.response->get_request());
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
  // Time-outs must not use signals: GetBuild runs on a worker thread.
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  if (code == CURLE_OK) code = curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
  return code;
}

}  // namespace

HTTPResponse::HTTPResponse(std::string requestUrl) : url(std::move(requestUrl)) {}

void HTTPRequest::SetLimits(const HTTPLimits& limits) {
  std::lock_guard<std::mutex> lock(_limitsMutex);
  _limits = limits;
}

HTTPLimits HTTPRequest::GetLimits() {
  std::lock_guard<std::mutex> lock(_limitsMutex);
  return _limits;
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& query) {
  if (url == nullptr) throw std::runtime_error("No URL to request");
  _init_curl_once();
  CurlHandle handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Could not create curl instance");
  HTTPResponse response(_request_url(handle.get(), url, query));

  const HTTPLimits limits = GetLimits();
  Transfer transfer{&response, limits.maxBodyBytes, false};
  CURLcode code = _configure(handle.get(), transfer, limits);
  if (code == CURLE_OK) {
    Log::log(Log::DEBUG_ServerComm, "GET(%s)\n", response.get_request());
    code = curl_easy_perform(handle.get());
  }
  long status = 0;
  if (code == CURLE_OK) code = curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  if (transfer.bodyTooLarge) {
    throw std::runtime_error("Reply body larger than " + std::to_string(limits.maxBodyBytes) + " bytes");
  }
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
  response.set_status(status);
  return response;
}
