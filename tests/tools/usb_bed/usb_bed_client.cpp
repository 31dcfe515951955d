// A small libusb client run under kastrel-usb-bed by the bed's tests. It does what a
// driver of the module does, through the real libusb, and prints one line per finding:
//   usb_bed_client SCENARIO VVVV:PPPP
// Scenarios: list, version, nmea N [READSIZE], cancel, unplug, idle MS, stall MOST. Every wait has
// a deadline; exit 0 when the scenario ran to its end, 1 otherwise.
#include <libusb-1.0/libusb.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(15);

libusb_context* g_ctx = nullptr;
std::uint16_t g_vendor = 0;
std::uint16_t g_product = 0;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

[[noreturn]] void Fail(const char* what, int code) {
  Say("fail %s %s", what, libusb_error_name(code));
  std::exit(1);
}

const char* TypeName(std::uint8_t attributes) {
  switch (attributes & 0x03) {
    case LIBUSB_TRANSFER_TYPE_BULK:
      return "bulk";
    case LIBUSB_TRANSFER_TYPE_INTERRUPT:
      return "interrupt";
    case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS:
      return "iso";
    default:
      return "control";
  }
}

// Endpoint addresses of interface 0, in descriptor order, as the driver reads them.
struct Pipes {
  unsigned char in = 0;
  unsigned char out = 0;
};

Pipes ReadPipes(libusb_device* dev, bool print) {
  libusb_config_descriptor* config = nullptr;
  const int r = libusb_get_active_config_descriptor(dev, &config);
  if (r != 0) Fail("config", r);
  Pipes pipes;
  const auto& alt = config->interface[0].altsetting[0];
  for (int i = 0; i < alt.bNumEndpoints; ++i) {
    const auto& ep = alt.endpoint[i];
    if (print)
      Say("endpoint %02x %s %u", ep.bEndpointAddress, TypeName(ep.bmAttributes), ep.wMaxPacketSize);
    if (i == 0) pipes.in = ep.bEndpointAddress;
    if (i == 1) pipes.out = ep.bEndpointAddress;
  }
  libusb_free_config_descriptor(config);
  return pipes;
}

libusb_device_handle* OpenModule(Pipes& pipes) {
  libusb_device** list = nullptr;
  const auto count = libusb_get_device_list(g_ctx, &list);
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < count && handle == nullptr; ++i) {
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(list[i], &d);
    if (d.idVendor != g_vendor || d.idProduct != g_product) continue;
    pipes = ReadPipes(list[i], false);
    const int r = libusb_open(list[i], &handle);
    if (r != 0) {
      libusb_free_device_list(list, 1);
      Fail("open", r);
    }
  }
  libusb_free_device_list(list, 1);
  if (handle == nullptr) Fail("open", LIBUSB_ERROR_NOT_FOUND);
  const int r = libusb_claim_interface(handle, 0);
  if (r != 0) Fail("claim", r);
  return handle;
}

// One asynchronous IN transfer, as the driver keeps pending.
struct Reader {
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  unsigned char buffer[64] = {};
  int size = sizeof buffer;
  bool done = false;

  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  // Only ever destroyed once its transfer has completed.
  ~Reader() { libusb_free_transfer(transfer); }

  void Start(libusb_device_handle* handle, unsigned char endpoint) {
    done = false;
    libusb_fill_bulk_transfer(transfer, handle, endpoint, buffer, size, Completed, this, 0);
    const int r = libusb_submit_transfer(transfer);
    if (r != 0) Fail("submit", r);
  }
  static void LIBUSB_CALL Completed(libusb_transfer* t) {
    static_cast<Reader*>(t->user_data)->done = true;
  }
  std::string Bytes() const {
    return std::string(reinterpret_cast<const char*>(buffer),
                       static_cast<std::size_t>(transfer->actual_length));
  }
};

// Runs libusb's event loop until `done` holds or the deadline passes.
template <typename Done>
bool Until(Done done, Clock::time_point deadline = Clock::now() + kDeadline) {
  while (!done()) {
    if (Clock::now() > deadline) return false;
    timeval tv{0, 100000};
    libusb_handle_events_timeout_completed(g_ctx, &tv, nullptr);
  }
  return true;
}

void Write(libusb_device_handle* handle, unsigned char endpoint, const std::string& bytes) {
  int sent = 0;
  const int r = libusb_bulk_transfer(
      handle, endpoint, reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
      static_cast<int>(bytes.size()), &sent, 1000);
  if (r != 0) Fail("write", r);
  if (sent != static_cast<int>(bytes.size())) Fail("short write", LIBUSB_ERROR_IO);
}

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c >= 0x20 && c < 0x7F)
      out += c;
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

// Reads packets until the version reply.
void ReadReply(libusb_device_handle* handle, const Pipes& pipes, Reader& reader) {
  for (;;) {
    if (!Until([&] { return reader.done; })) Fail("version reply", LIBUSB_ERROR_TIMEOUT);
    if (reader.transfer->status != LIBUSB_TRANSFER_COMPLETED) Fail("version read", LIBUSB_ERROR_IO);
    const auto packet = reader.Bytes();
    reader.Start(handle, pipes.in);
    if (packet.rfind("*v", 0) == 0) {
      Say("reply %s", Escaped(packet).c_str());
      return;
    }
  }
}

// Sends the version request and reads packets until its reply.
void Version(libusb_device_handle* handle, const Pipes& pipes, Reader& reader) {
  Write(handle, pipes.out, "*v" + std::string(62, '_'));
  ReadReply(handle, pipes, reader);
}

// How a driver leaves the module: its pending read cancelled and reaped, then closed.
void CancelAndClose(libusb_device_handle* handle, Reader& reader) {
  libusb_cancel_transfer(reader.transfer);
  Until([&] { return reader.done; });
  libusb_close(handle);
}

// Opens the module and keeps a read pending, as the driver does from the start.
libusb_device_handle* OpenReading(Pipes& pipes, Reader& reader) {
  auto* handle = OpenModule(pipes);
  reader.Start(handle, pipes.in);
  return handle;
}

int List() {
  libusb_device** list = nullptr;
  const auto count = libusb_get_device_list(g_ctx, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(list[i], &d);
    Say("device %04x:%04x bus %u address %u", d.idVendor, d.idProduct,
        libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
    if (d.idVendor == g_vendor && d.idProduct == g_product) ReadPipes(list[i], true);
  }
  libusb_free_device_list(list, 1);
  return 0;
}

int Nmea(int wanted, int read_size) {
  Pipes pipes;
  Reader reader;
  reader.size = read_size;
  auto* handle = OpenReading(pipes, reader);
  Write(handle, pipes.out, "j");
  std::string stream;
  int seen = 0;
  int empty = 0;  // zero-length transfers
  while (seen < wanted) {
    if (!Until([&] { return reader.done; })) Fail("nmea", LIBUSB_ERROR_TIMEOUT);
    if (reader.transfer->status != LIBUSB_TRANSFER_COMPLETED) Fail("nmea read", LIBUSB_ERROR_IO);
    if (reader.transfer->actual_length == 0) ++empty;
    stream += reader.Bytes();
    reader.Start(handle, pipes.in);
    for (std::size_t end; seen < wanted && (end = stream.find("\r\n")) != std::string::npos;
         stream.erase(0, end + 2)) {
      const auto start = stream.find('$');
      if (start == std::string::npos || start > end) continue;
      Say("nmea %s", stream.substr(start, end - start).c_str());
      ++seen;
    }
  }
  Say("empty %d", empty);
  libusb_release_interface(handle, 0);
  CancelAndClose(handle, reader);
  return 0;
}

int VersionOnce() {
  Pipes pipes;
  Reader reader;
  auto* handle = OpenReading(pipes, reader);
  Version(handle, pipes, reader);
  CancelAndClose(handle, reader);
  return 0;
}

int Cancel() {
  Pipes pipes;
  Reader reader;
  auto* handle = OpenReading(pipes, reader);
  // Nothing is asked of the module, so the read stays pending until it is cancelled.
  Until([] { return false; }, Clock::now() + std::chrono::milliseconds(200));
  if (reader.done) Fail("read ended by itself", LIBUSB_ERROR_OTHER);
  const int r = libusb_cancel_transfer(reader.transfer);
  if (r != 0) Fail("cancel", r);
  if (!Until([&] { return reader.done; })) Fail("cancel", LIBUSB_ERROR_TIMEOUT);
  Say("read cancelled %s", reader.transfer->status == LIBUSB_TRANSFER_CANCELLED ? "yes" : "no");
  reader.Start(handle, pipes.in);
  Version(handle, pipes, reader);
  CancelAndClose(handle, reader);
  return 0;
}

// Keeps a read pending on a silent module for `ms` and prints the CPU time it cost.
int Idle(int ms) {
  Pipes pipes;
  Reader reader;
  auto* handle = OpenReading(pipes, reader);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  Until([] { return false; }, Clock::now() + std::chrono::milliseconds(ms));
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const auto micros = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec +
           r.ru_stime.tv_usec;
  };
  Say("cpu-us %ld over %d ms", micros(after) - micros(before), ms);
  CancelAndClose(handle, reader);
  return 0;
}

// Writes blocks with a short timeout until the module stops taking them (at most `most`),
// then asks for the version until the module takes the request again: a stalled OUT pipe
// must time out, not hang, and work on once the module reads again.
int Stall(int most) {
  Pipes pipes;
  Reader reader;
  auto* handle = OpenReading(pipes, reader);
  std::string block = "!" + std::string(63, '_');
  int r = 0;
  int sent = 0;
  for (; sent < most; ++sent) {
    int n = 0;
    r = libusb_bulk_transfer(handle, pipes.out, reinterpret_cast<unsigned char*>(block.data()), 64,
                             &n, 200);
    if (r != 0) break;
  }
  Say("write %s", libusb_error_name(r));
  Say("stalled");
  std::string request = "*v" + std::string(62, '_');
  const auto deadline = Clock::now() + kDeadline;
  do {
    int n = 0;
    r = libusb_bulk_transfer(handle, pipes.out, reinterpret_cast<unsigned char*>(request.data()),
                             64, &n, 200);
  } while (r == LIBUSB_ERROR_TIMEOUT && Clock::now() < deadline);
  if (r != 0) Fail("write after stall", r);
  ReadReply(handle, pipes, reader);
  CancelAndClose(handle, reader);
  return 0;
}

int g_arrived = 0;
int g_left = 0;
int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event event, void*) {
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    ++g_arrived;
    Say("arrived");
  } else {
    ++g_left;
    Say("left");
  }
  return 0;
}

int Unplug() {
  libusb_hotplug_callback_handle callback = 0;
  int r = libusb_hotplug_register_callback(
      g_ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
      LIBUSB_HOTPLUG_NO_FLAGS, g_vendor, g_product, LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, nullptr,
      &callback);
  if (r != 0) Fail("hotplug", r);
  Pipes pipes;
  Reader reader;
  auto* handle = OpenReading(pipes, reader);
  Say("pending");
  if (!Until([&] { return reader.done && g_left == 1; })) Fail("unplug", LIBUSB_ERROR_TIMEOUT);
  Say("read no-device %s", reader.transfer->status == LIBUSB_TRANSFER_NO_DEVICE ? "yes" : "no");
  libusb_fill_bulk_transfer(reader.transfer, handle, pipes.in, reader.buffer, 64, Reader::Completed,
                            &reader, 0);
  Say("submit %s", libusb_error_name(libusb_submit_transfer(reader.transfer)));
  libusb_close(handle);
  if (!Until([&] { return g_arrived == 1; })) Fail("plug", LIBUSB_ERROR_TIMEOUT);
  handle = OpenReading(pipes, reader);
  Version(handle, pipes, reader);
  CancelAndClose(handle, reader);
  libusb_hotplug_deregister_callback(g_ctx, callback);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || std::strchr(argv[argc - 1], ':') == nullptr) {
    std::fprintf(stderr,
                 "usage: usb_bed_client list|version|nmea N [READSIZE]|cancel|unplug|idle MS|stall "
                 "MOST VVVV:PPPP\n");
    return 2;
  }
  const std::string scenario = argv[1];
  const char* ids = argv[argc - 1];
  g_vendor = static_cast<std::uint16_t>(std::strtoul(ids, nullptr, 16));
  g_product = static_cast<std::uint16_t>(std::strtoul(std::strchr(ids, ':') + 1, nullptr, 16));
  const int r = libusb_init(&g_ctx);
  if (r != 0) Fail("init", r);
  int status = 2;
  if (scenario == "list") status = List();
  if (scenario == "version") status = VersionOnce();
  // nmea N [READSIZE]: a read size under 64 takes each packet in several transfers.
  if (scenario == "nmea") status = Nmea(std::atoi(argv[2]), argc > 4 ? std::atoi(argv[3]) : 64);
  if (scenario == "idle") status = Idle(std::atoi(argv[2]));
  if (scenario == "stall") status = Stall(std::atoi(argv[2]));
  if (scenario == "cancel") status = Cancel();
  if (scenario == "unplug") status = Unplug();
  libusb_exit(g_ctx);
  Say("done");
  return status;
}
