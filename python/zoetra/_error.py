"""The exception every failure inside Zoetra is raised as."""


class Error(Exception):
    """A failure reported by Zoetra.

    Attributes:
        number: the error number (53 for a missing picture file, 481 for a
            picture that cannot be read, 5 for a bad argument, ...).
        description: what went wrong, in words.
        source: the part of the system that failed.
        picture: the 1-based place in the list of the picture that failed
            (None when the failure belongs to no one picture).
    """

    def __init__(self, number, description, source, picture=None):
        super().__init__(number, description, source, picture)
        self.number = number
        self.description = description
        self.source = source
        self.picture = picture

    def __str__(self):
        where = f"picture {self.picture}: " if self.picture is not None else ""
        return f"{where}{self.description} (error {self.number}, {self.source})"
