/*
 * orvanta_channels: the names and sizes of the guest agent's two host
 * channels, which each daemon and the host-agent stand-in must spell alike.
 * A name here is the contract with the host side; changing one breaks it.
 */
#ifndef SHM_CHANNEL_ORVANTA_CHANNELS_H
#define SHM_CHANNEL_ORVANTA_CHANNELS_H

#include "shm_channel.h"

/* The print channel: the host serves this shared-memory object (the print
 * daemon is its client) or, when it has none, the virtio serial port of the
 * same name. */
/** Object name handed to shm_open; no leading slash. */
#define ORV_PRINT_CHANNEL_NAME "orvanta.Printer.0"
/** Where the print channel's object shows up while the host serves it. */
#define ORV_PRINT_CHANNEL_SHM_PATH "/dev/shm/" ORV_PRINT_CHANNEL_NAME
/** The virtio serial port the print daemon falls back to. */
#define ORV_PRINT_SERIAL_PORT_PATH "/dev/virtio-ports/" ORV_PRINT_CHANNEL_NAME
/** Size of the print channel's object in bytes (32 MiB). */
#define ORV_PRINT_CHANNEL_SIZE 33554432u

/* The mount channel: the mount service serves it, the host is its client. */
/** Object name handed to shm_open; no leading slash. */
#define ORV_MOUNT_CHANNEL_NAME "quor-mounting-shdir-service"
/** Pause between a client's connect attempts, in microseconds. */
#define ORV_MOUNT_CHANNEL_TIMEOUT_US 1200000u
/** Size of the mount channel's object in bytes. */
#define ORV_MOUNT_CHANNEL_SIZE 262144u
/** Largest block handed to one on_data call, in bytes. */
#define ORV_MOUNT_CHANNEL_CHUNK 8192u

/*
 * The mount channel's shm_config as both of its ends must fill it: name,
 * timeout, size and chunk set, every callback and user_data left for the
 * caller. The name points to a string literal (valid for the program's life).
 */
static inline shm_config orv_mount_channel_config(void) {
    shm_config cfg;
    shm_config_init(&cfg);
    cfg.name = ORV_MOUNT_CHANNEL_NAME;
    cfg.timeout_us = ORV_MOUNT_CHANNEL_TIMEOUT_US;
    cfg.size = ORV_MOUNT_CHANNEL_SIZE;
    cfg.chunk = ORV_MOUNT_CHANNEL_CHUNK;
    return cfg;
}

#endif /* SHM_CHANNEL_ORVANTA_CHANNELS_H */
