// Keeps the simulator library non-empty before any simulator exists.
