#!/usr/bin/env python3
"""Writes corpus/update_printers: the "data" of a discovery response as JSON
text (an empty file stands for a response without "data")."""
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


def main():
    directory = os.path.join(HERE, "corpus", "update_printers")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, value in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(json.dumps(value, ensure_ascii=False).encode())
    open(os.path.join(directory, "no_data"), "wb").close()


if __name__ == "__main__":
    main()
