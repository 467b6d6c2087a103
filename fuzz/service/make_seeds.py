#!/usr/bin/env python3
"""Writes the seed corpora of the handler fuzz targets.

corpus/serial_port_handler: host deliveries, one frame each, built from the
frame layout ("ZEFA", 16-bit big-endian type, 32-bit big-endian payload
length, payload, 16-bit check field 0, byte 0x0A); type-4 payloads are the
base64 of the compact, key-sorted JSON text of a message.

corpus/socket_handler: backend lines; "@SPOOL@" stands for the fuzzer's
private spool directory (see SocketHandlerFuzzer.cpp).

Run from anywhere; it rewrites both directories.
"""
import base64
import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Identifiers the fuzzer registers (SerialPortHandlerFuzzer.cpp).
SMALL = "00000000-0000-4000-8000-000000000010"    # 10 bytes
LARGE = "00000000-0000-4000-8000-000000070000"    # 70000 bytes
EMPTY = "00000000-0000-4000-8000-000000000000"    # 0 bytes
MISSING = "00000000-0000-4000-8000-00000000dead"
DIRECTORY = "00000000-0000-4000-8000-0000000000d1"
FIFO = "00000000-0000-4000-8000-0000000000f1"
LINK = "00000000-0000-4000-8000-0000000000e1"
UNKNOWN = "3f2504e0-4f89-41d3-9a0c-0305e82c3301"


def frame(payload, ftype=4, check=b"\x00\x00", end=b"\x0a", length=None):
    n = len(payload) if length is None else length
    return b"ZEFA" + struct.pack(">HI", ftype, n) + payload + check + end


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def message(method, mtype, data=None, context="cups", **extra):
    obj = {"context": context, "method": method, "type": mtype}
    if data is not None:
        obj["data"] = data
    obj.update(extra)
    return frame(base64.b64encode(compact(obj)))


def chunk(id_, offset, size, method="sendfile"):
    return message(method, "request", {"id": id_, "offset": offset, "size": size})


PRINTERS = {
    "meta": {"platform": "windows", "print-file-format": "pdf"},
    "devices": [
        {"name": "Office HP", "device-id": "7", "isDefault": True, "printer-driver-xps": False,
         "printer-info": "HP LaserJet", "printer-location": "2nd floor",
         "printer-make-and-model": "HP LaserJet 4000"},
        {"name": "a/b", "device-id": "8"},
    ],
}


def serial_seeds():
    s = {}
    # Frames with a message that gets a task.
    s["discovery_notification"] = message("discovery", "notification")
    s["discovery_notification_data"] = message("discovery", "notification", {"anything": [1, 2]})
    s["discovery_request_no_data"] = message("discovery", "request")
    s["discovery_request_chunk"] = chunk(SMALL, 0, 4, method="discovery")
    s["discovery_response"] = message("discovery", "response", PRINTERS)
    s["discovery_response_devices_object"] = message("discovery", "response", {
        "meta": {}, "devices": {"b": {"name": "B"}, "a": {"name": "A"}}})
    s["discovery_response_empty"] = message("discovery", "response", {"meta": {}, "devices": []})
    s["discovery_response_no_meta"] = message("discovery", "response", {"devices": [{"name": "x"}]})
    s["discovery_response_no_data"] = message("discovery", "response")
    s["discovery_response_bad_flag"] = message("discovery", "response", {
        "meta": {}, "devices": [{"name": "x", "isDefault": "yes"}]})
    s["chunk_small_0_4"] = chunk(SMALL, 0, 4)
    s["chunk_small_4_4"] = chunk(SMALL, 4, 4)
    s["chunk_small_8_2"] = chunk(SMALL, 8, 2)
    s["chunk_small_8_4"] = chunk(SMALL, 8, 4)
    s["chunk_small_past_end"] = chunk(SMALL, 100, 3)
    s["chunk_large_first"] = chunk(LARGE, 0, 65536)
    s["chunk_large_rest"] = chunk(LARGE, 65536, 4464)
    s["chunk_empty_file"] = chunk(EMPTY, 0, 16)
    s["chunk_missing_file"] = chunk(MISSING, 0, 16)
    s["chunk_directory"] = chunk(DIRECTORY, 0, 16)
    s["chunk_fifo"] = chunk(FIFO, 0, 16)
    s["chunk_symlink"] = chunk(LINK, 0, 4)
    s["chunk_unknown_id"] = chunk(UNKNOWN, 0, 4)
    s["chunk_size_zero"] = chunk(SMALL, 0, 0)
    s["chunk_size_minus_one"] = chunk(SMALL, 0, -1)
    s["chunk_size_negative"] = chunk(SMALL, 0, -5)
    s["chunk_offset_negative"] = chunk(SMALL, -1, 4)
    s["chunk_offset_float"] = chunk(SMALL, 2.75, 3)
    s["chunk_offset_huge"] = chunk(SMALL, 1 << 40, 4)
    s["chunk_size_too_big"] = chunk(SMALL, 0, 1 << 31)
    s["chunk_size_bool"] = chunk(SMALL, 0, True)
    s["chunk_size_string"] = message("sendfile", "request", {"id": SMALL, "offset": 0, "size": "10"})
    s["chunk_id_number"] = message("sendfile", "request", {"id": 5, "offset": 0, "size": 4})
    s["chunk_no_data"] = message("sendfile", "request")
    s["chunk_data_array"] = message("sendfile", "request", [1, 2, 3])
    s["chunk_data_defaults"] = message("sendfile", "request", {"id": SMALL})
    # Messages that get no task.
    s["sendfile_notification"] = message("sendfile", "notification", {"id": SMALL})
    s["sendfile_response"] = message("sendfile", "response", {"id": SMALL})
    s["message_error"] = message("message", "error", {"code": 1, "text": "x"})
    s["discovery_info"] = message("discovery", "info")
    s["unknown_method"] = message("print", "request")
    s["other_context"] = message("discovery", "notification", context="printers")
    # Frames the converter rejects.
    s["frame_type3"] = frame(b"hello", ftype=3)
    s["frame_type5"] = frame(b"hello", ftype=5)
    s["frame_bad_check"] = frame(base64.b64encode(b'{"a":1}'), check=b"\x00\x01")
    s["frame_bad_length"] = frame(b"AAAA", length=3)
    s["frame_no_end"] = frame(b"AAAA", end=b"\x00")
    s["frame_smallest"] = frame(b"AA")
    s["payload_not_base64"] = frame(b"abc")
    s["payload_not_json"] = frame(base64.b64encode(b"{not json"))
    s["payload_array"] = frame(base64.b64encode(b"[1]"))
    s["payload_method_number"] = frame(base64.b64encode(b'{"context":"cups","method":1,"type":"request"}'))
    return s


def socket_seeds():
    s = {}
    s["job"] = b'{"abspath":"@SPOOL@/job1","title":"Report","user":"alice","copies":1}\n'
    s["job_only_path"] = b'{"abspath":"@SPOOL@/job1"}\n'
    s["job_subdir"] = b'{"abspath":"@SPOOL@/sub/job2","title":"x"}\n'
    s["job_with_id"] = b'{"abspath":"@SPOOL@/job1","id":"host-chosen"}\n'
    s["job_relative_dots"] = b'{"abspath":"@SPOOL@/sub/../job1"}\n'
    s["job_inside_link"] = b'{"abspath":"@SPOOL@/inside-link"}\n'
    s["job_meta"] = ('{"abspath":"@SPOOL@/job1","meta":{"format":"application/pdf",'
                     '"pages":[1,2,3],"duplex":true,"scale":0.5,"name":"Gr\u00fc\u00dfe"}}\n').encode()
    s["refused_outside_link"] = b'{"abspath":"@SPOOL@/outside-link"}\n'
    s["refused_climb"] = b'{"abspath":"@SPOOL@/../outside"}\n'
    s["refused_sibling_prefix"] = b'{"abspath":"@SPOOL@x/job3"}\n'
    s["refused_directory"] = b'{"abspath":"@SPOOL@/sub"}\n'
    s["refused_fifo"] = b'{"abspath":"@SPOOL@/fifo"}\n'
    s["refused_missing"] = b'{"abspath":"@SPOOL@/nothing"}\n'
    s["refused_etc"] = b'{"abspath":"/etc/passwd"}\n'
    s["refused_empty_path"] = b'{"abspath":""}\n'
    s["refused_nul_in_path"] = b'{"abspath":"@SPOOL@/job1\\u0000.pdf"}\n'
    s["no_abspath"] = b'{"title":"x"}\n'
    s["abspath_number"] = b'{"abspath":42}\n'
    s["array"] = b'["@SPOOL@/job1"]\n'
    s["string"] = b'"@SPOOL@/job1"\n'
    s["number"] = b"17\n"
    s["empty_object"] = b"{}\n"
    s["empty_array"] = b"[]\n"
    s["null"] = b"null\n"
    s["not_json"] = b"abspath=@SPOOL@/job1\n"
    s["two_values"] = b'{"abspath":"@SPOOL@/job1"}{"abspath":"@SPOOL@/job1"}\n'
    s["comment"] = b'{"abspath":"@SPOOL@/job1"} // trailing\n'
    s["newline_only"] = b"\n"
    return s


def write(directory, seeds):
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def main():
    # Cross-check the layout: the discovery request frame is 89 bytes long.
    req = message("discovery", "request")
    assert len(req) == 89, len(req)
    write(os.path.join(HERE, "corpus", "serial_port_handler"), serial_seeds())
    write(os.path.join(HERE, "corpus", "socket_handler"), socket_seeds())


if __name__ == "__main__":
    main()
