"""velto-client: drive a velto_protocol server by hand, from a script or from a prompt."""
