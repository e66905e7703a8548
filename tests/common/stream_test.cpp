#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/aStream.h"
#include "support/scripted_transport.h"
#include "support/temp_folder.h"

namespace {

using qftest::ScriptedStream;
using qftest::ScriptedTransport;
using qftest::TempFolder;

std::string ReadString(aStream* stream, size_t length, aErr* result) {
  std::string bytes(length, '\0');
  *result = aStream_Read(stream, bytes.data(), length);
  return bytes;
}

std::string Pattern(size_t length) {
  std::string bytes;
  for (size_t i = 0; i < length; ++i) bytes += static_cast<char>('A' + i % 26 + (i / 26) % 3);
  return bytes;
}

TEST(StreamRead, BytesTakenBeforeNotReadyComeBackFirstInOrder) {
  struct Case {
    size_t available;  // bytes get delivers before it says aErrNotReady
    size_t asked;
  };
  // 520 bytes outgrow the first 512 bytes of push-back storage.
  for (const Case& c : {Case{2, 3}, Case{520, 600}, Case{511, 512}, Case{0, 1}}) {
    SCOPED_TRACE(c.available);
    ScriptedTransport script;
    const std::string sent = Pattern(c.available);
    script.feed(sent);
    ScriptedStream stream(&script);
    aErr result = aErrNone;
    const std::string untouched = ReadString(stream.get(), c.asked, &result);
    EXPECT_EQ(result, aErrNotReady);
    EXPECT_EQ(untouched, std::string(c.asked, '\0'));  // nothing copied
    const int callsBefore = script.getCalls;
    EXPECT_EQ(ReadString(stream.get(), c.available, &result), sent);
    EXPECT_EQ(result, aErrNone);
    EXPECT_EQ(script.getCalls, callsBefore);
  }
}

TEST(StreamRead, PushedBackBytesPrecedeNewOnes) {
  ScriptedTransport script;
  script.feed("ab");
  ScriptedStream stream(&script);
  aErr result = aErrNone;
  ReadString(stream.get(), 3, &result);
  ASSERT_EQ(result, aErrNotReady);
  script.feed("cd");
  EXPECT_EQ(ReadString(stream.get(), 4, &result), "abcd");
  EXPECT_EQ(result, aErrNone);
}

TEST(StreamRead, EndKeepsWhatCameAndFailureDropsIt) {
  struct Case {
    aErr failure;
    std::string expected;  // the buffer after the read of 4
  };
  for (const Case& c : {Case{aErrEOF, std::string("xy\0\0", 4)}, Case{aErrIO, std::string(4, '\0')}}) {
    SCOPED_TRACE(c.failure);
    ScriptedTransport script;
    script.feed("xy");
    script.then(c.failure);
    script.feed("z");
    ScriptedStream stream(&script);
    aErr result = aErrNone;
    EXPECT_EQ(ReadString(stream.get(), 4, &result), c.expected);
    EXPECT_EQ(result, c.failure);
    EXPECT_EQ(ReadString(stream.get(), 1, &result), "z");  // nothing was pushed back
  }
}

TEST(StreamWrite, OneByteGoesThroughPutLongerThroughWrite) {
  struct Case {
    bool withWrite;
    std::string data;
    int putCalls;
    int writeCalls;
  };
  for (const Case& c :
       {Case{true, "a", 1, 0}, Case{true, "ab", 0, 1}, Case{false, "abc", 3, 0}, Case{true, "", 0, 0}}) {
    SCOPED_TRACE(c.data);
    ScriptedTransport script;
    ScriptedStream stream(&script, true, true, c.withWrite);
    EXPECT_EQ(aStream_Write(stream.get(), c.data.data(), c.data.size()), aErrNone);
    EXPECT_EQ(script.putCalls, c.putCalls);
    EXPECT_EQ(script.writeCalls, c.writeCalls);
    EXPECT_EQ(script.written, c.data);
  }
}

TEST(StreamWrite, PutStopsAtTheFirstFailure) {
  ScriptedTransport script;
  script.putFailsAt = 1;
  script.putResult = aErrIO;
  ScriptedStream stream(&script, true, true, false);
  EXPECT_EQ(aStream_Write(stream.get(), "abc", 3), aErrIO);
  EXPECT_EQ(script.written, "a");
  EXPECT_EQ(script.putCalls, 2);
}

TEST(Stream, RefusesMissingArgumentsAndProcedures) {
  ScriptedTransport script;
  ScriptedStream full(&script);
  ScriptedStream bare(&script, false, false, false);
  char buffer[8] = {};
  size_t length = 0;
  struct Case {
    const char* what;
    aErr result;
    aErr expected;
  };
  const Case cases[] = {
      {"read from no stream", aStream_Read(nullptr, buffer, 1), aErrParam},
      {"read into no buffer", aStream_Read(full.get(), nullptr, 1), aErrParam},
      {"read without get", aStream_Read(bare.get(), buffer, 1), aErrMode},
      {"write no data", aStream_Write(full.get(), nullptr, 1), aErrParam},
      {"write without put or write", aStream_Write(bare.get(), "a", 1), aErrMode},
      {"record of size 0", aStream_ReadRecord(full.get(), buffer, &length, 0, "\n", 1), aErrParam},
      {"record without separator", aStream_ReadRecord(full.get(), buffer, &length, 8, nullptr, 1), aErrParam},
      {"record with empty separator", aStream_ReadRecord(full.get(), buffer, &length, 8, "\n", 0), aErrParam},
      {"text of size 0", aStream_ReadCString(full.get(), buffer, 0), aErrParam},
      {"text of size 1", aStream_ReadCString(full.get(), buffer, 1), aErrParam},
      {"text record of size 0", aStream_ReadCStringRecord(full.get(), buffer, 0, "\n"), aErrParam},
      {"text record, empty separator", aStream_ReadCStringRecord(full.get(), buffer, 8, ""), aErrParam},
      {"write record, no separator", aStream_WriteRecord(full.get(), "a", 1, nullptr, 1), aErrParam},
      {"write no text", aStream_WriteCString(full.get(), nullptr), aErrParam},
      {"flush without get", aStream_Flush(bare.get(), full.get()), aErrMode},
      {"flush without put", aStream_Flush(full.get(), bare.get()), aErrMode},
      {"flush from no stream", aStream_Flush(nullptr, full.get()), aErrParam},
      {"wait on no stream", aStream_WaitReadable(nullptr, 0), aErrParam},
      {"destroy no handle", aStream_Destroy(nullptr), aErrParam},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
  EXPECT_EQ(script.getCalls + script.putCalls + script.writeCalls, 0);
}

TEST(Stream, DestroyReturnsTheTransportsResultAndClearsTheHandle) {
  ScriptedTransport script;
  script.deleteResult = aErrIO;
  script.feed("a");
  aStream* stream = aStream_Create(ScriptedTransport::get, nullptr, nullptr, ScriptedTransport::remove, &script);
  char buffer[2];
  ASSERT_EQ(aStream_Read(stream, buffer, 2), aErrNotReady);  // leaves push-back storage
  EXPECT_EQ(aStream_Destroy(&stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
}

TEST(StreamRecord, ReadsUpToTheSeparatorOrTheSize) {
  struct Case {
    const char* what;
    std::string input;
    aErr end;  // what get says after the input
    std::string separator;
    size_t size;
    aErr result;
    std::string record;
    std::string left;  // what the next reads deliver
  };
  const Case cases[] = {
      {"one-byte separator", "abc\ndef", aErrNotReady, "\n", 10, aErrNone, "abc", "def"},
      {"two-byte separator", "ab\r\ncd", aErrNotReady, "\r\n", 10, aErrNone, "ab", "cd"},
      {"size reached", "abcdef", aErrNotReady, "\n", 4, aErrNone, "abcd", "ef"},
      {"end completes", "ab", aErrEOF, "\n", 10, aErrNone, "ab", ""},
      {"end before anything", "", aErrEOF, "\n", 10, aErrEOF, "", ""},
      {"failure", "ab", aErrIO, "\n", 10, aErrIO, "", ""},
      {"not ready", "ab", aErrNotReady, "\n", 10, aErrNotReady, "", "ab"},
      {"not ready in the separator", "ab\r", aErrNotReady, "\r\n", 10, aErrNotReady, "", "ab\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedTransport script;
    script.feed(c.input);
    script.then(c.end);
    ScriptedStream stream(&script);
    char buffer[16] = {};
    size_t length = 99;
    EXPECT_EQ(aStream_ReadRecord(stream.get(), buffer, &length, c.size, c.separator.data(), c.separator.size()),
              c.result);
    if (c.result == aErrNone || c.result == aErrEOF) {
      EXPECT_EQ(std::string(buffer, length), c.record);
    }
    if (c.result != aErrNone) {
      EXPECT_STREQ(buffer, "");  // nothing copied
    }
    if (c.end == aErrNotReady) {
      aErr rest = aErrNone;
      EXPECT_EQ(ReadString(stream.get(), c.left.size(), &rest), c.left);
      EXPECT_EQ(rest, aErrNone);
    }
  }
}

TEST(StreamRecord, TextReadsAreTerminated) {
  ScriptedTransport script;
  script.feed(std::string("abcdef") + std::string("hi\0", 3) + "x;y");
  ScriptedStream stream(&script);
  char text[5];
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "abcd");
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "efhi");
  EXPECT_EQ(aStream_ReadCString(stream.get(), text, sizeof text), aErrNone);
  EXPECT_STREQ(text, "");  // the terminator after "efhi" did not fit before
  EXPECT_EQ(aStream_ReadCStringRecord(stream.get(), text, sizeof text, ";"), aErrNone);
  EXPECT_STREQ(text, "x");
}

TEST(StreamRecord, WritesCarryTheirSeparators) {
  struct Case {
    const char* what;
    aErr (*write)(aStream*);
    std::string bytes;
  };
  const Case cases[] = {
      {"record", [](aStream* s) { return aStream_WriteRecord(s, "ab", 2, "\r\n", 2); }, "ab\r\n"},
      {"text", [](aStream* s) { return aStream_WriteCString(s, "ab"); }, std::string("ab\0", 3)},
      {"text record", [](aStream* s) { return aStream_WriteCStringRecord(s, "ab", ";"); }, std::string("ab;\0", 4)},
  };
  for (const Case& c : cases) {
    ScriptedTransport script;
    ScriptedStream stream(&script);
    EXPECT_EQ(c.write(stream.get()), aErrNone) << c.what;
    EXPECT_EQ(script.written, c.bytes) << c.what;
  }
}

TEST(StreamFlush, CopiesUntilTheEndOrAFailure) {
  struct Case {
    aErr end;
    int putFailsAt;
    aErr result;
    std::string copied;
  };
  for (const Case& c : {Case{aErrEOF, -1, aErrNone, "abc"}, Case{aErrNotReady, -1, aErrNotReady, "abc"},
                        Case{aErrEOF, 1, aErrIO, "a"}}) {
    SCOPED_TRACE(c.result);
    ScriptedTransport from;
    from.feed("abc");
    from.then(c.end);
    ScriptedTransport to;
    to.putFailsAt = c.putFailsAt;
    to.putResult = aErrIO;
    ScriptedStream source(&from);
    ScriptedStream destination(&to);
    EXPECT_EQ(aStream_Flush(source.get(), destination.get()), c.result);
    EXPECT_EQ(to.written, c.copied);
  }
}

TEST(StreamWait, PushedBackBytesAreReadyAndTheTransportWaitsOtherwise) {
  ScriptedTransport script;
  script.feed("a");
  ScriptedStream stream(&script);
  ASSERT_EQ(aStream_SetWaitProc(stream.get(), ScriptedTransport::wait), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 70), aErrTimeout);
  EXPECT_EQ(script.waitTimeout, 70u);
  char buffer[2];
  ASSERT_EQ(aStream_Read(stream.get(), buffer, 2), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 70), aErrNone);
  EXPECT_EQ(script.waitCalls, 1);
}

TEST(StreamWait, AStreamThatCannotWaitPausesBriefly) {
  ScriptedTransport script;
  ScriptedStream stream(&script);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aStream_WaitReadable(stream.get(), 5000), aErrNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(FileStream, WritesAFileAndReadsItBack) {
  TempFolder folder;
  const std::string path = folder.join("bytes.bin");
  std::string content = Pattern(1000);
  content[10] = '\0';
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Write(out, content.data(), content.size()), aErrNone);
  EXPECT_EQ(aStream_Write(out, "!", 1), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  aErr result = aErrNone;
  EXPECT_EQ(ReadString(in, content.size() + 1, &result), content + "!");
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(ReadString(in, 1, &result), std::string(1, '\0'));
  EXPECT_EQ(result, aErrEOF);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(FileStream, EveryFailureToMakeOneIsAResourceError) {
  TempFolder folder;
  const std::string missing = folder.join("missing");
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateFileInput(missing.c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(missing.c_str(), nullptr), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(folder.path().c_str(), &stream), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(nullptr, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
