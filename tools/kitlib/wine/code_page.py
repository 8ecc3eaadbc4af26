"""The ANSI code page Wine gives Windows programs: it follows the locale
(LC_ALL, then LC_CTYPE, then LANG), and a session runs under C.UTF-8 (1252)
where the locale is not UTF-8, since Wine opens no other non-ASCII path."""
import re

# Wine's ANSI code page by the locale's language_TERRITORY or language; any
# other language: 1252.
CODE_PAGES = {
    "ru": 1251, "uk": 1251, "be": 1251, "bg": 1251, "mk": 1251, "sr": 1251,
    "pl": 1250, "cs": 1250, "sk": 1250, "hu": 1250, "sl": 1250, "hr": 1250, "ro": 1250,
    "el": 1253, "tr": 1254, "he": 1255, "ar": 1256, "fa": 1256,
    "lt": 1257, "lv": 1257, "et": 1257, "vi": 1258, "th": 874,
    "ja": 932, "zh_CN": 936, "zh_SG": 936, "ko": 949, "zh_TW": 950, "zh_HK": 950,
}
WESTERN = 1252


def locale(env):
    return env.get("LC_ALL") or env.get("LC_CTYPE") or env.get("LANG") or ""


def is_utf8(name):
    return bool(re.search(r"utf-?8", name, re.I))


def ansi_code_page(env):
    """The code page Wine's programs get in a session started from env."""
    name = locale(env)
    if not is_utf8(name):
        return WESTERN
    language = name.split(".")[0]
    return CODE_PAGES.get(language, CODE_PAGES.get(language.split("_")[0], WESTERN))


def holds(text, code_page):
    """Whether the code page has a character for each of text's."""
    try:
        text.encode(f"cp{code_page}")
    except UnicodeEncodeError:
        return False
    return True
