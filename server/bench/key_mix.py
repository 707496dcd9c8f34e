"""The key mix every benchmark of the service sends: key classes as users meet them on the sample
catalogue's vocabulary, each key with and without a type filter, in both orders."""

# Key classes as users meet them on the sample catalogue's vocabulary.
KEYS = {
    "1 character": ["电", "集", "Q", "ж"],
    "2 characters": ["电影", "蓝光", "Tr", "zz"],
    "common": ["考研英语", "Lecture", "Course Materials", "电影版"],
    "rare": ["Iceland Trip 2003", "The Silent River (2001)", "O'Brien", "甄嬛传第17集"],
    "no match": ["量子纠缠", "Quantum", "真题讲义", "Kyoto Lecture"],
}
TYPE_FOR_KEY = {"电": "file", "集": "folder", "Q": "file", "ж": "album", "电影": "file", "蓝光": "folder",
                "Tr": "album", "zz": "file", "考研英语": "folder", "Lecture": "file", "Course Materials": "folder",
                "电影版": "file", "Iceland Trip 2003": "album", "The Silent River (2001)": "file",
                "O'Brien": "file", "甄嬛传第17集": "file", "量子纠缠": "folder", "Quantum": "file",
                "真题讲义": "file", "Kyoto Lecture": "album"}
LIMIT = 200


def queries():
    out = []
    for key_class, keys in KEYS.items():
        for key in keys:
            for type_ in ("", TYPE_FOR_KEY[key]):
                for descending in (False, True):
                    out.append({"class": key_class, "key": key, "type": type_, "desc": descending})
    return out


def label(q):
    return f"{q['key']}{' in ' + q['type'] if q['type'] else ''} {'desc' if q['desc'] else 'asc'}"
