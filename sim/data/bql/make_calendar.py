"""Regenerates calendar.csv, the stand-in's economic calendar sample (deterministic).

Run from this directory: python make_calendar.py
Release times are local wall-clock times; TIMEZONE is the local UTC offset at that moment, so
countries with daylight saving carry two labels over a year. Releases after AS_OF have no actual.
"""
import calendar as _cal
import csv
import datetime as dt
import zlib

import pytz

AS_OF = dt.date(2026, 12, 1)
FIRST_YEAR, LAST_YEAR = 2020, 2027
LAST_DATE = dt.date(2027, 3, 31)

# country, ticker, event name, subtype, relevance, zone, hh:mm, rule, day, base, step
INDICATORS = [
    ("US", "CPI YOY Index", "CPI YoY", "economic_releases", "high", "America/New_York", "08:30", "day", 12, 3.0, 0.4),
    ("US", "NFP TCH Index", "Change in Nonfarm Payrolls", "economic_releases", "high", "America/New_York", "08:30", "first_fri", 0, 200.0, 60.0),
    ("US", "FDTR Index", "FOMC Rate Decision (Upper Bound)", "central_bank", "high", "America/New_York", "14:00", "odd_month", 20, 4.0, 0.25),
    ("US", "CONSSENT Index", "U. of Mich. Sentiment", "economic_releases", "low", "America/New_York", "10:00", "day", 25, 70.0, 4.0),
    ("JP", "JNCPIYOY Index", "Natl CPI YoY", "economic_releases", "medium", "Asia/Tokyo", "08:30", "day", 19, 2.0, 0.3),
    ("JP", "BOJDTR Index", "BOJ Policy Balance Rate", "central_bank", "high", "Asia/Tokyo", "12:00", "odd_month", 18, 0.1, 0.05),
    ("IN", "INFINFY Index", "CPI YoY", "economic_releases", "high", "Asia/Kolkata", "17:30", "day", 12, 5.0, 0.5),
    ("NP", "NPCPIYOY Index", "CPI YoY", "economic_releases", "medium", "Asia/Kathmandu", "15:00", "day", 15, 6.0, 0.6),
    ("CA", "CACPIYOY Index", "CPI YoY", "economic_releases", "high", "America/Toronto", "08:30", "day", 16, 3.0, 0.4),
    ("CA", "NLEMPL Index", "Newfoundland Employment", "economic_releases", "low", "America/St_Johns", "09:30", "day", 8, 230.0, 3.0),
    ("GB", "UKRPCJYR Index", "CPI YoY", "economic_releases", "high", "Europe/London", "07:00", "day", 17, 4.0, 0.5),
    ("DE", "GRCP20YY Index", "CPI YoY", "economic_releases", "medium", "Europe/Berlin", "14:00", "day", 28, 3.0, 0.4),
    ("AU", "AUCPIYOY Index", "CPI YoY", "economic_releases", "high", "Australia/Sydney", "11:30", "quarter", 26, 4.0, 0.5),
    ("CN", "CNCPIYOY Index", "CPI YoY", "economic_releases", "medium", "Asia/Shanghai", "09:30", "day", 10, 1.0, 0.4),
]


def _noise(*parts):
    h = zlib.crc32("|".join(map(str, parts)).encode())
    return (h % 2001) / 1000.0 - 1.0  # in [-1, 1]


def _weekday_on_or_after(d):
    while d.weekday() >= 5:
        d += dt.timedelta(days=1)
    return d


def _release_date(rule, day, year, month):
    if rule == "first_fri":
        d = dt.date(year, month, 1)
        while d.weekday() != 4:
            d += dt.timedelta(days=1)
        return d
    if rule == "odd_month" and month % 2 == 0:
        return None
    if rule == "quarter" and month % 3 != 1:
        return None
    last = _cal.monthrange(year, month)[1]
    return _weekday_on_or_after(dt.date(year, month, min(day, last)))


def _label(zone, naive):
    off = pytz.timezone(zone).localize(naive).utcoffset()
    minutes = int(off.total_seconds() // 60)
    sign = "+" if minutes >= 0 else "-"
    minutes = abs(minutes)
    return "GMT%s%02d:%02d" % (sign, minutes // 60, minutes % 60)


def main():
    rows = []
    for (country, ticker, name, subtype, relevance, zone, hhmm, rule, day, base, step) in INDICATORS:
        hh, mm = map(int, hhmm.split(":"))
        for year in range(FIRST_YEAR, LAST_YEAR + 1):
            for month in range(1, 13):
                d = _release_date(rule, day, year, month)
                if d is None or d > LAST_DATE:
                    continue
                # a few seconds past the minute on some releases, as feeds sometimes stamp them
                sec = 45 if _noise(ticker, d, "s") > 0.6 else 0
                naive = dt.datetime(d.year, d.month, d.day, hh, mm, sec)
                prev = dt.date(year, month, 1) - dt.timedelta(days=1)
                survey = round(base + step * _noise(ticker, year, month), 2)
                actual = round(survey + step * 0.5 * _noise(ticker, year, month, "a"), 2)
                released = d <= AS_OF
                rows.append({
                    "COUNTRY": country,
                    "TICKER": ticker,
                    "EVENT_NAME": name,
                    "PERIOD": "%02d/%02d" % (prev.month, prev.year % 100),
                    "RELEASE_DATE_TIME": naive.strftime("%Y-%m-%d %H:%M:%S"),
                    "TIMEZONE": _label(zone, naive),
                    "SURVEY": survey,
                    "ACTUAL": actual if released else "",
                    "PRIOR": "",
                    "surprise": round(actual - survey, 2) if released else "",
                    "subtype": subtype,
                    "relevance": relevance,
                })
    rows.sort(key=lambda r: (r["COUNTRY"], r["RELEASE_DATE_TIME"], r["TICKER"]))
    last = {}
    for r in rows:
        key = r["TICKER"]
        r["PRIOR"] = last.get(key, "")
        if r["ACTUAL"] != "":
            last[key] = r["ACTUAL"]
    with open("calendar.csv", "w", newline="") as fh:
        w = csv.DictWriter(fh, fieldnames=list(rows[0]))
        w.writeheader()
        w.writerows(rows)


if __name__ == "__main__":
    main()
