{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='revenue_date',
    batch_size='day',
    begin='2024-01-01',
) }}

select
    cast(cast(ordered_at as date) as timestamp) as revenue_date,
    date_trunc('month', ordered_at) as revenue_month,
    sum(amount_eur) as revenue_eur
from {{ ref('fct_daily_orders') }}
group by 1, 2
