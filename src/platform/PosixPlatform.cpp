// Placeholder until the POSIX implementation lands.
