// Placeholder until the transport lands.
