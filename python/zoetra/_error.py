"""The exception every failure inside Zoetra is raised as."""


def shown(path):
    """A path as text fit for a message: characters that would not print (line
    breaks, bytes of a name that is not UTF-8, held as surrogates) escaped."""
    return "".join(c if c.isprintable() else ascii(c)[1:-1] for c in path)


class Error(Exception):
    """A failure reported by Zoetra.

    Attributes:
        number: the error number (53 for a missing picture file, 481 for a
            picture that cannot be read, 5 for a bad argument, 0x800403E9 for
            the component's own error, ...).
        description: what went wrong, in words.
        source: the part of the system that failed.
        picture: the 1-based place in the list of the picture that failed
            (None when the failure belongs to no one picture).
        path: the file that failed as it was given (str; None for a picture
            in memory or a failure that belongs to no file).
    """

    def __init__(self, number, description, source, picture=None, path=None):
        super().__init__(number, description, source, picture, path)
        self.number = number
        self.description = description
        self.source = source
        self.picture = picture
        self.path = path

    def __str__(self):
        where = [] if self.picture is None else [f"picture {self.picture}"]
        if self.path is not None:
            where.append(f"({self.path})" if where else self.path)
        prefix = " ".join(where) + ": " if where else ""
        return shown(f"{prefix}{self.description} (error {self.number}, {self.source})")
