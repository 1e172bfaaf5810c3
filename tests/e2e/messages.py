"""What quib prints, word for word, for the end-to-end tests: each text once.
Bytes, as quib's standard output arrives; a function where quib fills in a
name."""

USAGE = b"".join(line + b"\n" for line in [
    b"Quib v1.5: WinNT console utility to mail a file via SMTP",
    b"",
    b"syntax:",
    b"Quib <filename> -t <recipient> [optional switches (see below)]",
    b"Quib -install <server addr> <sender's addr> [-q]",
    b"Quib -h [-q]",
    b"",
    b"-install <server addr> <sender's addr>: set's default SMTP server and sender",
    b"",
    b"<filename>    : file with the message body ('-' for console input, end with ^Z)",
    b"-t <recipient>: recipient list (comma separated)",
    b"-s <subj>     : subject line",
    b"-f <sender>   : overrides the default sender address (must be known to server)",
    b"-i <addr>     : a 'From:' address, not necessarily known to the SMTP server.",
    b"-c <recipient>: carbon copy recipient list (comma separated)",
    b"-b <recipient>: blind carbon copy recipient list (comma separated)",
    b"-h            : displays this help.",
    b"-mime         : MIME Quoted-Printable Content-Transfer-Encoding.",
    b"-q            : supresses *all* output.",
    b"-server <addr>: overrides the default SMTP server to be used.",
    b"",
    b"Note that if the '-i' option is used, <sender> is included in 'Reply-to:'",
    b"and 'Sender:' fields in the header of the message.",
])

# The settings store
NO_KEY = b"Failed to open registry key for Quib\n"
NO_SERVER_VALUE = b"Failed to read SMTP server value from the registry\n"
NO_SENDER_VALUE = b"Failed to read senders user name from the registry\n"
CANT_CREATE = b"Error in creating quib key in the registry\n"
CANT_SET_SERVER = b"Error in setting SMTP server value in the registry\n"


def server_set_to(server):
    return b"\nSMTP server set to " + server.encode() + b"\n"


# The command line
INSTALL_HINT = (b"to set the SMTP server's address and the user name at that address do:\n"
                b"quib -install server username")
REFUSED_12 = INSTALL_HINT + b"\n" + (b"or use '-server <server name>' and '-f <user name>'\n"
                                     b"aborting, nothing sent\n")
SENDER_LINE_BREAK = (b"the sender address holds a line break (CR or LF): aborting, nothing "
                     b"sent\n")
SERVER_LINE_BREAK = b"the server name holds a line break (CR or LF): aborting, nothing sent\n"
PENGUIN_CONFLICT = (b"-penguin cannot go with -attach, -html or -charset (its body file brings "
                    b"its own header lines): aborting, nothing sent\n")


def log_not_opened(name, why=""):
    return b"cannot open the log file " + (name + why).encode() + b": aborting, nothing sent\n"


def does_not_exist(name):
    return name.encode() + b" does not exist\n"


# The run driver
NOT_A_DISK_FILE = b"Sorry, I can only mail messages from disk files...\n"


def overlong_address(field):
    return (b"the %s field holds an address longer than a header line may hold (998 characters)\n"
            % field.encode())


OVERLONG_TO = overlong_address("To")
NO_TEMPORARY_FILE = b"error opening temporary file , aborting\n"

# The socket library and the SMTP dialogue
NOT_LOADED = (b"Couldn't load either 'GWINSOCK.DLL' or 'GENSOCK.DLL'\n"
              b"Install one of these in your path.")
CANT_RESOLVE = b"Error: Can't resolve (mailserver) hostname."
CANT_CONNECT = b"Error: Can't connect to mailserver (timed out if winsock.dll error 10060)"
CONNECTION_REFUSED = b"Error: Mail server refused connection."
DROPPED = b"Error: Connection to mailserver was dropped."
TIMED_OUT = b"Error: Wait a bit (possible timeout)."
SEND_FAILED = b"Error: Error sending data."
SERVER_ERROR = b"SMTP server error\n"
SENDER_REFUSED = (b"The mail server doesn't like the sender name,\n"
                  b"have you set your mail address correctly?\n")
DATA_REFUSED = b"Mail server error accepting message data\n"
NOT_ACCEPTED = b"Message not accepted by server\n"


def recipient_refused(name):
    return (b"The mail server doesn't like the name " + name.encode() + b".\n"
            b"Have you set the 'To: ' field correctly?\n")


# Logging in
NOTHING_SENT = b"aborting, nothing sent\n"
IN_CLEAR = (b"-u: the password would travel in clear text: use smtps:// or starttls:// before "
            b"the server name (plain text only to 127.0.0.1, ::1 or localhost)\n" + NOTHING_SENT)


def netrc_open(path):
    return (path + " can be read by others: refused (chmod 600 " + path + ")\n").encode() + NOTHING_SENT


def no_secret(user, host, tried):
    return ("no password for %s at %s: tried %s\n" % (user, host, tried)).encode() + NOTHING_SENT
