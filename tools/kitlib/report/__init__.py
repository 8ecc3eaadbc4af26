"""The preview's HTML report: its data and writing (writing), the page drawn
from templates/ (page), its screenshots (shots), the rows made of the
preview's results (rows), and the same as JSON (data)."""
from kitlib.report.rows import write_preview_json, write_report
from kitlib.report.writing import Box, ReportError, Row, Table, write
