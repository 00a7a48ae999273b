// A DIAG device with no hardware behind it: it serves a pseudo-terminal through a device root
// laid out the way the POSIX adapter discovers real devices, answers the requests the
// provisioning tools send, and misbehaves on request so tests can check how the tools cope.
// Every call is safe from any thread; the device's own thread answers in microseconds.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devicesim/device_root_layout.hpp"

namespace devicesim {

using NvData = std::array<uint8_t, 128>;

struct Options {
  std::string root;    // device root folder (created when missing)
  int com_number = 7;  // serves root/dev/serial/com/COM<n>
  // The port's sysfs shape (device_root_layout.hpp); usb-serial is what modems' DIAG ports use.
  PortLayout layout = PortLayout::kUsbSerial;
  std::string tty_name;  // "" = the tty the udev rule links to COM<n> (ttyUSB<n-1>)
  int usb_bus = 1;       // with usb_path the USB device folder <bus>-<path>
  std::string usb_path;  // "" = "<n>" (root hub port n); "1.4" = behind a hub
  int interface_number = 0;
  uint16_t vendor_id = 0x1e0f, product_id = 0x9001;
  std::string interface_text = "KVX Diagnostics Interface";  // the USB interface string
  bool write_interface_file = true;  // false = no interface string at all ("" = an empty one)
  std::string product_text = "KVX USB Modem";  // the USB device's product string
  std::string usb_serial;        // the USB device's serial number string ("" = it reports none)
  std::string udev_description;  // what a line's udev rule names the port ("" = nothing)
  bool start_as_cdrom = false;   // shows only a CD-ROM until it receives the eject CDB
  int cdrom_index = 0;           // root/sys/class/block/sr<k>, root/dev/sr<k>, on the USB device
  std::string cdrom_vendor = "KVX";
  std::string cdrom_product = "Mass storage";
  // What the USB device reports as its serial number while it shows its CD-ROM, where that
  // mode reports another than its ports do.
  bool cdrom_serial_differs = false;
  std::string cdrom_serial;                  // "" = none
  uint32_t eject_to_serial_ms = 50;          // the serial port appears this long after the eject
  uint32_t reset_absence_ms = 200;           // how long a reset makes the device vanish
  uint32_t mode_follow_delay_ms = 0;         // the operating mode follows a mode request after this
  int initial_mode = 5;                      // 1 FTM, 2/3/4 offline, 5 online, 6 LPM
  int offline_mode = 2;                      // what an offline request leads to (2, 3 or 4)
  uint32_t call_state = 0, system_mode = 4;  // answered in the call manager state
  uint32_t reset_vanish_delay_ms = 20;       // a reset lets its answer out before the port goes
  bool unknown_nv_inactive = false;          // items never written answer status 5 instead of zeros
  bool nv_write_needs_offline = false;       // NV writes outside an offline mode get 0x18
  // Fixed-size requests (version, build id, mode, call manager state, EFS2 close, read and
  // close folder) of any other size get 0x15; false accepts trailing bytes.
  bool strict_lengths = true;
  std::string nv_state_file;  // NV items persist here ("" = memory only)
  uint64_t efs_capacity_bytes = 16 * 1024 * 1024;
  // false: an open gets the lowest free file descriptor, as on a POSIX file system, so files
  // opened one after the other share it; true: every open gets a number never used before.
  bool growing_descriptors = false;
  uint32_t efs_block_size = 512;
  // Identification answered to the version and extended build id requests.
  std::string comp_date = "Dec 07 2026", comp_time = "12:00:00";
  std::string rel_date = "Nov 30 2026", rel_time = "09:30:00";
  std::string ver_dir = "KVX1000 ";
  uint8_t scm = 0x0A, mob_cai_rev = 6, mob_model = 0x9C;
  uint16_t mob_firm_rev = 1234;
  uint8_t slot_cycle_index = 2, voc_maj = 1, voc_min = 0;
  uint32_t msm_hw_version = 0x00C1E0E1, build_mobile_model = 0x9C;
  std::string software_revision = "KVX-SW-1.2.3";
  std::string model_string = "KVX1000";
  // Called on the device's thread for every good request, before it is answered (diagsim
  // prints them). It must not call back into the device.
  std::function<void(const std::vector<uint8_t>& request)> request_observer;
  // Called whenever the serial port appears (links in place) or vanishes, on the thread that
  // made the change; the same rule applies.
  std::function<void(bool present)> presence_observer;
};

class VirtualDevice {
 public:
  explicit VirtualDevice(Options options);
  ~VirtualDevice();  // stops and removes what it put into the root
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Lays out the root and starts serving (as a CD-ROM first when asked). False when the pty
  // or the root could not be set up; Error() then says why. NV items come from nv_state_file
  // at construction already, so items set before Start are kept beside them.
  bool Start();
  // Stops the thread, closes the pty and removes the links and sysfs entries it made.
  void Stop();
  std::string Error() const;
  const Options& options() const;

  std::string TtyName() const;      // the <tty> the COM link names
  std::string ComLinkPath() const;  // root/dev/serial/com/COM<n>
  std::string SlavePath() const;    // /dev/pts/N currently served ("" while absent)
  bool Present() const;             // serial port currently there
  bool CdromPresent() const;        // CD-ROM entries currently there
  bool EjectReceived() const;       // the eject CDB came through the CD-ROM node
  std::vector<std::vector<uint8_t>> CdromCommands() const;  // every 6-byte CDB received
  // Sets the COM link's own modification time (seconds since the epoch), which orders the
  // serial port list.
  bool SetComLinkTime(int64_t seconds);
  // Extra CD-ROM entries in the root: one whose device node is missing, and a foreign drive.
  static bool AddUnopenableCdrom(const std::string& root, int index, const std::string& vendor,
                                 const std::string& product);
  static bool AddForeignCdrom(const std::string& root, int index, const std::string& vendor,
                              const std::string& product);

  // NV items: 128 bytes each; an item never written reads as zeros with status 0.
  void SetNvItem(uint16_t id, const NvData& data);
  NvData NvItem(uint16_t id) const;
  bool HasNvItem(uint16_t id) const;  // written by a request or SetNvItem
  std::map<uint16_t, NvData> NvItems() const;
  void SetNvItemInactive(uint16_t id, bool inactive);  // reads give zeros, status 5, until written
  int NvWriteCount(uint16_t id) const;                 // NV writes received for the item
  void IgnoreNvWrites(int n);  // the next n NV writes are answered but not stored

  // Operating mode: 1 FTM, 2/3/4 offline, 5 online, 6 LPM.
  int OperatingMode() const;
  void SetOperatingMode(int mode);
  void NeverReachMode(bool stuck);  // mode requests are echoed but the mode stays
  int ResetCount() const;           // resets performed

  // Embedded file system. Paths are "/"-separated, with or without the leading "/".
  bool LoadEfs(const std::string& host_dir);        // replaces the tree
  bool DumpEfs(const std::string& host_dir) const;  // files byte for byte, empty folders too
  bool EfsExists(const std::string& path) const;
  bool EfsIsDir(const std::string& path) const;
  bool EfsReadFile(const std::string& path, std::vector<uint8_t>* data) const;
  bool EfsWriteFile(const std::string& path, const std::vector<uint8_t>& data);  // makes parents
  bool EfsMkdir(const std::string& path);                                        // makes parents
  bool EfsMakeLink(const std::string& path, const std::string& target);          // lists as type 2
  // Every entry, depth first by name: "/a", folders as "/a/b/", links as "/a/c -> target".
  std::vector<std::string> EfsListing() const;
  int EfsOpenFiles() const;  // file descriptors not yet closed
  int EfsOpenDirs() const;   // directory handles not yet closed

  // EFS misbehaviour.
  // `after` writes are served normally first, so a fault can follow another one on a later
  // request (a late answer to write k, then a refusal of write k+1).
  void RefuseEfsWrites(int n, int32_t errnum, int after = 0);  // n writes fail with errnum
  void RefuseEfsOpens(int n, int32_t errnum);                  // the next n opens fail with errnum
  void ShortEfsWrites(int n, uint32_t bytes, int after = 0);   // n writes store at most `bytes`
  // The next n requests of the named EFS2 sub-command, after `after` of them, are answered
  // with errnum and change nothing. False for a name not in Efs2Prefix's table.
  bool RefuseEfs2(const std::string& sub_command, int n, int32_t errnum, int after = 0);
  // The request prefix of an EFS2 sub-command by name (open, write, close, mkdir, unlink, rmdir,
  // opendir, readdir, closedir, stat, statfs), for MisbehaveOnlyFor; false for another name.
  static bool Efs2Prefix(const std::string& sub_command, std::vector<uint8_t>* prefix);
  void IgnoreEfsStatus(bool ignore);  // never answer the file system status request
  void FillUp(bool full = true);      // no free blocks, writes fail with ENOSPC
  // The folder's rmdir is refused with EACCES from now on, whatever it holds (a folder the
  // device protects). False for the root or a path with "." or "..".
  bool RefuseRmdirOf(const std::string& path);

  // Misbehaviour of the next n responses, in the order given by the tools' requests.
  // With a prefix set, only answers to requests starting with it count and misbehave (for
  // instance {0x27} for NV writes, {0x4B, 0x13, 0x05, 0x00} for EFS2 writes); {} = all.
  void MisbehaveOnlyFor(std::vector<uint8_t> request_prefix);
  void DropResponses(int n);
  // Delayed answers still leave in order: one that comes after the requester gave up holds back
  // the answer to its resend, as on a real line. `after` chosen answers leave on time first.
  void DelayResponses(int n, uint32_t ms, int after = 0);
  // Each answer again, `gap_ms` after the first: the copy is sent then, behind whatever the
  // device answered in the meantime, and holds back nothing.
  void AnswerTwice(int n, uint32_t gap_ms);
  // Each of the next n answers leaves again right before the device's next answer of the chosen
  // kind (`on_time`: a copy, the answer also left at once; otherwise the answer itself, held
  // until then, after the requester gave up on it). Timed by requests, not by the clock.
  void AnswerStrayBeforeNext(int n, bool on_time);
  void SplitResponses(int n, int pieces, uint32_t gap_ms);
  void CorruptCrc(int n);
  void NoiseBeforeResponses(int n, std::vector<uint8_t> bytes);  // raw, may hold stray 0x7E
  void ReplaceCommandCode(int n, uint8_t code);
  // Overwrites the next n responses from `offset` on (another item id, another echoed mode).
  void PatchResponses(int n, size_t offset, std::vector<uint8_t> bytes);
  void TruncateResponses(int n, size_t length);  // the next n answers cut to `length` bytes
  void ErrorResponses(int n, uint8_t code);      // 0x13, 0x14, 0x15 or 0x18 followed by the request
  void LongVersionReply(bool longer);            // version answer with extra trailing bytes
  // Vanish, unanswered, when the n-th next request comes in; back after absence_ms (0: only
  // on Reappear).
  void DisappearAfterRequests(int n, uint32_t absence_ms = 0);
  void Disappear();  // vanish now (links removed, pty closed)
  void Reappear();   // new pty, links again
  // Unsolicited packets (log 0x10, event 0x60, debug 0x79, 0x92 ...), framed by the device.
  void SendUnsolicited(std::vector<uint8_t> packet, bool good_crc = true);
  // `separate_write`: the packet leaves in a write of its own, `gap_ms` before the answer;
  // otherwise both leave in one write.
  void UnsolicitedBeforeResponses(int n, std::vector<uint8_t> packet, bool separate_write = false,
                                  uint32_t gap_ms = 0);
  void SendRaw(std::vector<uint8_t> bytes);  // exactly these bytes, unframed

  // Recording: every complete frame received, unescaped and without CRC, in order (bad ones
  // too), the count of those with a bad CRC, and the raw byte stream.
  std::vector<std::vector<uint8_t>> Requests() const;
  std::vector<std::vector<uint8_t>> GoodRequests() const;  // only those with a good CRC
  int BadFrames() const;
  void ClearRequests();
  std::vector<uint8_t> RawReceived() const;
  std::vector<uint8_t> RawSent() const;

  // The inside (device_impl.hpp). Named here, not only privately, so that an in-process
  // driver without a port (the request fuzzer) can run its request intake.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace devicesim
