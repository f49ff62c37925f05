// The source of the system's audio output, as looptap drives it: ask the sound server what can
// be captured, build a capture stream for one output device, start it, stop it. The real
// implementation talks to PulseAudio (or PipeWire through its PulseAudio server); tests
// substitute their own service behind the same interfaces.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/audio/audio_buffer.h"
#include "platform/process/dispatch.h"
#include "platform/process/result.h"

namespace talvex::audio {

// One output device of the sound server whose mix can be captured.
struct OutputSink {
  std::string name;           // the sink's name
  std::string monitorSource;  // the source the server reports as that sink's monitor
};

struct ShareableContent {
  // Output devices, the server's default one first; may be empty.
  std::vector<OutputSink> sinks;
};

struct StreamConfiguration {
  double sampleRate = 48000;
  uint32_t channels = 2;
  // How much audio the server hands over at a time. Left to the server's default, data comes
  // in chunks of about two seconds: a stop would lose them and levels would lag.
  double fragmentSeconds = 0.01;
};

// The two ways of opening the capture of one output device: the first attempt, and the
// fallback taken when it fails.
enum class StreamAttempt {
  // "<sink>.monitor" by name, with the source's latency fitted to the fragment size.
  namedMonitor,
  // The monitor source the server listed for the sink, with the server's latency.
  reportedMonitor,
};

// Receives what a capture stream produces. Borrowed by the stream; must outlive it.
class CaptureStreamDelegate {
 public:
  virtual ~CaptureStreamDelegate() = default;
  // On the audio queue the stream was made with, one buffer at a time, in capture order.
  virtual void didOutputAudio(AudioBuffer& buffer) = 0;
  // At most once per stream, on a thread of the sound-server client, when the running stream
  // ends by itself (server gone, source removed, connection lost). Never after stop() began.
  virtual void didStopWithError(const std::string& description) = 0;
};

// A capture stream, not yet started when made. Lifecycle: made -> start() -> stop(); it may
// be dropped in any state. start() and stop() block their caller (never the audio queue).
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Returns once capture runs, or with the server's reason why it does not.
  virtual Status start() = 0;
  // Stops capturing and returns when the server confirmed it (or the connection is gone).
  // Afterwards no buffer is posted to the audio queue any more; buffers posted before are
  // still delivered there.
  virtual Status stop() = 0;
};

// Lifecycle: shareableContent() first (it connects), then makeStream() for what it listed.
class CaptureService {
 public:
  virtual ~CaptureService() = default;
  // Connects to the sound server and lists its output devices. Fails when no server can be
  // reached or it refuses the client.
  virtual Result<ShareableContent> shareableContent() = 0;
  // The stream owns itself; `delegate` and `audioQueue` are borrowed and must outlive it.
  virtual Result<std::unique_ptr<CaptureStream>> makeStream(const OutputSink& sink,
                                                            const StreamConfiguration& config,
                                                            StreamAttempt attempt,
                                                            CaptureStreamDelegate& delegate,
                                                            SerialQueue& audioQueue) = 0;
};

// The sound server of this session, found as every PulseAudio client finds it (PULSE_SERVER,
// the user's runtime directory). Never starts a server.
std::unique_ptr<CaptureService> makeSoundServerCaptureService();

}  // namespace talvex::audio
