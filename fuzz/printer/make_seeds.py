#!/usr/bin/env python3
"""Writes corpus/update_printers: the "data" of a discovery response as JSON
text (an empty file stands for a response without "data"); and
corpus/ppd_generator: a format/paper byte and then a device object or a bare
make-and-model."""
import json
import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))

FULL_DEVICE = {"name": "Office HP", "device-id": "7", "isDefault": True, "printer-driver-xps": True,
               "printer-info": "HP LaserJet", "printer-location": "2nd floor",
               "printer-make-and-model": "HP LaserJet 4000", "ignored": [1, 2]}

SEEDS = {
    "full": {"meta": {"platform": "windows", "print-file-format": "pdf"},
             "devices": [FULL_DEVICE, {"name": "a/b", "device-id": "8"}]},
    "devices_object": {"meta": {}, "devices": {"b": {"name": "B"}, "a": {"name": "A"}}},
    "only_name": {"meta": {}, "devices": [{"name": "my printer"}]},
    "utf8_name": {"meta": {"platform": "macos"}, "devices": [{"name": "Drucker B\u00fcro_2 +x"}]},
    "long_name": {"meta": {}, "devices": [{"name": "%" * 400}, {"name": "a" * 1100}]},
    "empty_lists": {"meta": {}, "devices": []},
    "no_devices": {"meta": {"platform": "linux"}},
    "devices_null": {"meta": {}, "devices": None},
    "devices_string": {"meta": {}, "devices": "x"},
    "device_not_object": {"meta": {}, "devices": [1]},
    "no_meta": {"devices": [{"name": "x"}]},
    "meta_string": {"meta": "x", "devices": []},
    "platform_number": {"meta": {"platform": 3}, "devices": []},
    "flag_string": {"meta": {}, "devices": [{"name": "x", "isDefault": "yes"}]},
    "name_number": {"meta": {}, "devices": [{"name": 5}]},
    "second_device_bad": {"meta": {}, "devices": [{"name": "ok"}, {"name": "bad", "device-id": []}]},
    "data_array": [1, 2],
    "data_string": "printers",
    "data_null": None,
}


PPD_SEEDS = {
    "pdf_a4_plain": b"\x00" + json.dumps({"name": "Office HP", "printer-make-and-model": "HP LaserJet 4000"}).encode(),
    "ps_letter": b"\x03" + json.dumps({"name": "a/b", "printer-make-and-model": "Brother (PCL_6)"}).encode(),
    "foomatic": b"\x00" + json.dumps({"name": "x", "printer-make-and-model":
                                     "HP\"\n*FoomaticRIPCommandLine: \"touch /tmp/x\"\n*cupsFilter2: \"a b 0 /bin/sh\""}).encode(),
    "placeholders": b"\x05@MODEL@ @PAPER@ @FILTER@ \"*:%",
    "control_bytes": b"\x0e" + bytes(range(0, 40)) + "\u00dc".encode() * 80,
    "long_utf8_name": b"\x02" + json.dumps({"name": "\u00dc" * 100, "printer-make-and-model": "M" * 300},
                                             ensure_ascii=False).encode(),
    "unknown_paper": b"\x0f" + json.dumps({"name": "", "printer-make-and-model": 5}).encode(),
}


def main():
    directory = os.path.join(HERE, "corpus", "update_printers")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, value in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(json.dumps(value, ensure_ascii=False).encode())
    open(os.path.join(directory, "no_data"), "wb").close()

    directory = os.path.join(HERE, "corpus", "ppd_generator")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, value in PPD_SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(value)


if __name__ == "__main__":
    main()
