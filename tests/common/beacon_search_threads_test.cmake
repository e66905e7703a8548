# Beacons on UDP port 8585 and the loopback discovery slots: every test runs in a network
# namespace of its own, so it needs no lock on those ports.
